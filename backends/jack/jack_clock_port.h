#pragma once
// MIDI clock out through JACK: a MIDI output port of our client, "clock out", apart from
// the notes' device, so that gear that follows the clock can be connected to it whichever
// device plays the notes. Its messages are placed on their frames by the client's frame line
// as the notes are (jack_midi_ports.h), held until their moment when sent ahead; and the
// step clock is paced by that line's frames while the clock goes out (own_clock.h).

#include "backends/jack/jack_client.h"
#include "midiout/clock_sink.h"

#include <memory>
#include <string>

namespace tambrel::backends {

inline constexpr const char* kClockOutPortName = "clock out";

class JackClockPort final : public midiout::ClockSink {
public:
    // Window's thread. Registers the port on `client` and connects it to `destination` when
    // that is not empty. Nothing, with the reason in `why`, when it cannot.
    static std::unique_ptr<JackClockPort> open(std::shared_ptr<JackMidiClient> client,
                                               const std::string& destination, std::string& why);
    // Once what was sent has gone out (a Stop a step ahead, at the most), the port goes.
    ~JackClockPort() override;
    JackClockPort(const JackClockPort&) = delete;
    JackClockPort& operator=(const JackClockPort&) = delete;

    void sendClock(const midiout::TimedMessage& message) noexcept override {
        client_->send(slot_, message);
    }
    void sendClockAt(const midiout::TimedMessage& message, std::uint32_t frame) noexcept override {
        client_->sendAt(slot_, message, frame);
    }
    const midiout::FrameClock* frameClock() const noexcept override { return client_.get(); }
    // "Tambrel:clock out", as other programs see it.
    std::string fullName() const { return client_->name() + ":" + kClockOutPortName; }

private:
    JackClockPort(std::shared_ptr<JackMidiClient> client, int slot)
        : client_(std::move(client)), slot_(slot) {}

    const std::shared_ptr<JackMidiClient> client_;
    const int slot_;
};

} // namespace tambrel::backends
