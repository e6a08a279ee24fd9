#pragma once
// MIDI clock in through JACK: a MIDI input port of our client, "clock in", that another
// program's clock (a DAW, a sequencer, hardware through a bridge) is connected to. Tambrel
// then plays on that clock: its Start, Stop and Continue start and stop the steps, its Song
// Position Pointer says where the song goes on, and its clocks say on which frames the
// steps fall (midiout/clock_follower.h reads them). Play, Stop and the tempo are the clock's:
// the buttons do nothing while it is followed.
//
// In each period of our client the port's messages are read with their frames and the grid
// is published at once, so that a step is handed over with the latest clocks known.

#include "backends/jack/jack_client.h"
#include "midiout/clock_follower.h"
#include "midiout/followed_time.h"
#include "midiout/published_grid.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct _jack_port;

namespace tambrel::backends {

inline constexpr const char* kClockInPortName = "clock in";

class JackClockIn final : public midiout::FollowedSource, private JackCycleListener {
public:
    // Window's thread. Registers the port on `client` and connects `source` to it when that
    // is not empty. Nothing, with the reason in `why`, when it cannot.
    static std::unique_ptr<JackClockIn> open(std::shared_ptr<JackMidiClient> client,
                                             const std::string& source, std::string& why);
    // The process callback no longer reads the port when it goes.
    ~JackClockIn() override;
    JackClockIn(const JackClockIn&) = delete;
    JackClockIn& operator=(const JackClockIn&) = delete;

    midiout::FollowedGrid grid() const noexcept override { return grid_.read(); }
    const midiout::FrameClock& frames() const noexcept override { return *client_; }
    std::int64_t delayFrames() const noexcept override;
    void setOwnTime(const midiout::OwnTime& own) noexcept override;

    // "Tambrel:clock in", as other programs see it.
    std::string fullName() const { return client_->name() + ":" + kClockInPortName; }

private:
    explicit JackClockIn(std::shared_ptr<JackMidiClient> client) : client_(std::move(client)) {}
    void cycle(std::uint32_t cycleStart, std::uint32_t frames) noexcept override;
    void publish(bool startJustCame = false) noexcept;

    std::shared_ptr<JackMidiClient> client_;
    _jack_port* port_ = nullptr;
    bool listening_ = false;
    std::atomic<std::uint32_t> periodFrames_{0};
    midiout::PublishedOwnTime own_;
    // The process callback's own.
    midiout::ClockFollower follower_;
    std::uint32_t changes_ = 0;
    midiout::OwnTime ownSeen_;
    std::uint32_t epoch_ = 1;
    std::uint32_t earliest_ = 0; // where the step on the start's clock goes
    midiout::PublishedGrid grid_;
};

} // namespace tambrel::backends
