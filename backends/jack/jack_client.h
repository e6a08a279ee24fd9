#pragma once
// Our one client on a JACK server ("Tambrel"), which everything of ours that the server
// carries shares: the MIDI output ports (jack_midi_ports.h) and the built-in synth's audio
// outputs (jack_audio_ports.h). The client opens and activates, runs both in its process
// callback period after period, learns when the server shuts down, and is the frame clock
// on which both place what they send, so that the synth's notes and the MIDI land on the
// same frames.

#include "backends/jack/frame_line.h"
#include "backends/jack/jack_audio_ports.h"
#include "backends/jack/jack_midi_ports.h"
#include "backends/jack/jack_placement.h"
#include "midiout/frame_clock.h"
#include "midiout/timed_message.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct _jack_client;

namespace tambrel::backends {

// What else runs in our client's process callback, once a period, before the outputs write
// theirs: a followed transport or an incoming MIDI clock, which read the server's position
// or their port there. On JACK's real-time thread: it must not block, lock or allocate.
class JackCycleListener {
public:
    // `cycleStart` is the period's first frame on the server's frame clock.
    virtual void cycle(std::uint32_t cycleStart, std::uint32_t frames) noexcept = 0;

protected:
    ~JackCycleListener() = default;
};

// Keeps libjack from printing its errors and notes on the terminal (process-wide).
void silenceJack() noexcept;

// The most frames the server reports between a port of ours and the sound card (0 for none).
std::uint32_t jackPlaybackLatency(_jack_port* port) noexcept;

class JackMidiClient final : public midiout::FrameClock {
public:
    // Our client on the running server, activated; nullptr when no server runs.
    static std::shared_ptr<JackMidiClient> connect(const std::string& clientName = "Tambrel");
    ~JackMidiClient() override;
    JackMidiClient(const JackMidiClient&) = delete;
    JackMidiClient& operator=(const JackMidiClient&) = delete;

    // Our client's name as the server knows it (it may add a suffix when taken).
    std::string name() const;
    // False once the server has shut down or died: sends are dropped from then on.
    bool alive() const noexcept { return alive_.load(std::memory_order_acquire); }
    // Any thread, without waiting: the server's frame clock at `when` (a moment just past,
    // such as the step's due time, or one still to come, such as a clock's later in the
    // step), by the client's frame line (frame_line.h), and its sample rate.
    std::uint32_t frameTimeAt(std::chrono::steady_clock::time_point when) const noexcept;
    std::uint32_t sampleRate() const noexcept override;
    // The same line as a frame clock that the step clock may be paced by.
    std::uint32_t frameAt(midiout::Moment moment) const noexcept override {
        return frameTimeAt(moment);
    }
    midiout::Moment momentOf(std::uint32_t frame) const noexcept override;

    // The MIDI output ports: JackMidiPorts says what each of these does.
    std::vector<std::string> otherProgramsInputs() const { return midi_.otherProgramsInputs(); }
    int openPort(const std::string& shortName, const std::string& destination,
                 std::chrono::milliseconds ahead = {}) {
        return midi_.open(shortName, destination, ahead);
    }
    void closePort(int slot) noexcept { midi_.close(slot); }
    // Window's thread: how long after its due moment a message written through the port of
    // `slot`, or the synth's audio (slot -1), is heard: the placement's delay
    // (jackDelayFrames) and the playback latency that the server reports for the port, what
    // lies between it and the sound card.
    std::chrono::nanoseconds latency(int slot) const noexcept;
    void send(int slot, const midiout::TimedMessage& message) noexcept {
        midi_.send(slot, message);
    }
    void sendAt(int slot, const midiout::TimedMessage& message, std::uint32_t frame) noexcept {
        midi_.sendAt(slot, message, frame);
    }
    std::uint64_t droppedCount() const noexcept { return midi_.droppedCount(); }
    std::uint64_t lateCount() const noexcept { return midi_.lateCount(); }

    // Window's thread. A listener called in each period from the next one on; false when
    // kMaxListeners are already there. Removing returns once the process callback no
    // longer calls it (false when that could not be made sure of: keep it alive then).
    static constexpr std::size_t kMaxListeners = 4;
    [[nodiscard]] bool addCycleListener(JackCycleListener* listener) noexcept;
    [[nodiscard]] bool removeCycleListener(JackCycleListener* listener) noexcept;

    // The start that the followed transport's roll releases, as the outputs hold and place
    // its first steps (jack_placement.h). The follower sets it in the process callback,
    // before the outputs write their period; any thread reads it, without waiting.
    JackRelease release() const noexcept {
        const std::uint64_t word = release_.load(std::memory_order_acquire);
        return {static_cast<ReleasePhase>(word >> 40), static_cast<std::uint32_t>(word),
                static_cast<std::uint8_t>(word >> 32)};
    }
    void setRelease(JackRelease release) noexcept {
        release_.store((std::uint64_t{static_cast<std::uint8_t>(release.phase)} << 40) |
                           (std::uint64_t{release.start} << 32) | release.frame,
                       std::memory_order_release);
    }

    // The built-in synth's audio outputs: JackAudioPorts says what each of these does.
    [[nodiscard]] bool openAudio(const std::string& name, JackAudioSource* source) {
        return audio_.open(name, source);
    }
    [[nodiscard]] bool closeAudio() noexcept { return audio_.close(); }
    std::chrono::nanoseconds audioLatency() const noexcept { return latency(-1); }

private:
    // The port sets reach the server through this client, and wait on its periods.
    friend class JackMidiPorts;
    friend class JackAudioPorts;
    // The transport's lead and follower ask the server's transport through this client.
    friend class JackTransportLead;
    friend class JackTransportFollow;
    // MIDI clock in has its input port on this client.
    friend class JackClockIn;

    // How long the window's thread waits for the process callback to let go of a port. A
    // running server answers within a period or two; a stalled one is not waited for.
    static constexpr auto kCycleWait = std::chrono::milliseconds(500);

    explicit JackMidiClient(_jack_client* client);
    static int onProcess(std::uint32_t frames, void* self) noexcept;
    static void onShutdown(void* self) noexcept;
    void process(std::uint32_t frames) noexcept;
    static std::chrono::nanoseconds serverAhead() noexcept;
    std::int64_t pinnedLine() const noexcept;

    _jack_client* handle() const noexcept { return client_; }
    // Periods the process callback has finished so far.
    std::uint64_t cycles() const noexcept { return cycles_.load(std::memory_order_seq_cst); }
    // Until more than `after` periods have finished; false when the server is gone or
    // stalls for kCycleWait.
    bool waitForCycle(std::uint64_t after) const noexcept;
    // Until the process callback is seen outside a period; false after kCycleWait.
    bool waitUntilOutsideProcess() const noexcept;

    _jack_client* client_;
    // A server's rate is fixed for its life. Kept, because libjack's own answer reads the
    // server's shared memory, which a server that died (or one started in its place) no
    // longer maps: the clocks while stopped ask it through a JACK restart.
    const std::uint32_t sampleRate_;
    std::atomic<bool> alive_{true};
    // Set while the process callback runs: what it may still be using is released only
    // once it is seen clear after the pointer to it was taken away.
    std::atomic<bool> inProcess_{false};
    std::atomic<std::uint64_t> cycles_{0};
    FrameLine line_;
    std::array<std::atomic<JackCycleListener*>, kMaxListeners> listeners_{};
    std::atomic<std::uint64_t> release_{0}; // phase << 40 | start << 32 | frame
    JackMidiPorts midi_{*this};
    JackAudioPorts audio_{*this};
};

// The client that the JACK devices of one program share. A device list is made once, at
// start; when the server behind it goes away and another starts under the same name, the
// next device that opens finds a new client of ours on it.
class JackConnection {
public:
    explicit JackConnection(std::shared_ptr<JackMidiClient> client) : client_(std::move(client)) {}
    // Window's thread. The client, made anew when the one before lost its server;
    // nullptr when no server runs now.
    std::shared_ptr<JackMidiClient> client();

private:
    std::shared_ptr<JackMidiClient> client_;
};

} // namespace tambrel::backends
