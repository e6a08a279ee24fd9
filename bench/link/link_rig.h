#pragma once
// One Tambrel in a Link session beside LinkHut, as a musician would set it up: a private
// JACK server, LinkHut on it with Link on, and Tambrel in-process (the built-in synth
// through JACK, a claves on every beat, following the session), each recorded where it is
// heard. Only inside the private network (tests/backends/private_network.h).

#include "jack_audio_recorder.h"
#include "jack_test_server.h"
#include "linkhut_program.h"

#include "backends/device_list.h"
#include "backends/link/link_source.h"
#include "engine/rhythm_engine.h"
#include "midiout/midi_out.h"
#include "platform/periodic_timer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tambrel::bench {

// How the rig is set up.
struct RigSetup {
    int linkHutTempo = 120;
    double ourTempo = 120;      // Tambrel's own, the session's only if it were alone
    bool startStopSync = false; // --link-start-stop, and LinkHut's start-stop sync on
    bool compensate = true;     // false: the source is told no output latency at all
    double recordSeconds = 30;
};

// The Link source as the engine would see it with no output latency to take off: every
// call forwarded but the latency, which it never hears, and a delay of zero.
class WithoutLatency final : public midiout::FollowedSource {
public:
    explicit WithoutLatency(midiout::FollowedSource& inner) : inner_(inner) {}
    midiout::FollowedGrid grid() const noexcept override { return inner_.grid(); }
    const midiout::FrameClock& frames() const noexcept override { return inner_.frames(); }
    std::int64_t delayFrames() const noexcept override { return 0; }
    void setOwnTime(const midiout::OwnTime& own) noexcept override { inner_.setOwnTime(own); }
    void look(midiout::Moment now) noexcept override { inner_.look(now); }
    bool tempoChosen(int tempo) noexcept override { return inner_.tempoChosen(tempo); }
    void setOutputLatency(std::chrono::nanoseconds) noexcept override {}
    void playPressed() noexcept override { inner_.playPressed(); }
    void stopPressed() noexcept override { inner_.stopPressed(); }
    void prepared(std::uint32_t epoch) noexcept override { inner_.prepared(epoch); }

private:
    midiout::FollowedSource& inner_;
};

// One Tambrel in the session: the outputs that discoverOutputs finds (the synth on JACK
// when a server runs, else on PulseAudio), the built-in synth open, an engine with a claves
// on every beat following the session, and the window's follow timer run by hand.
class TambrelPeer {
public:
    TambrelPeer() = default;
    ~TambrelPeer();
    TambrelPeer(const TambrelPeer&) = delete;
    TambrelPeer& operator=(const TambrelPeer&) = delete;

    // Joins the session; false with the reason in `why`.
    bool join(const RigSetup& setup, std::string& why);

    // The window's follow timer: followTick every 20 ms, polling `done` every 2 ms in
    // between, until it says so (the time it took) or `limit` passes (nothing).
    std::optional<std::chrono::microseconds> tickUntil(const std::function<bool()>& done,
                                                       std::chrono::milliseconds limit);
    void tickFor(std::chrono::milliseconds duration);

    engine::RhythmEngine& engine() { return *engine_; }
    backends::LinkSource& link() { return *link_; }
    // The open synth's latency, as the engine hands it to the source.
    std::chrono::nanoseconds outputLatency() const;

private:
    backends::Outputs outputs_;
    std::unique_ptr<midiout::MidiOut> out_;
    midiout::MidiOutHandle synth_ = 0;
    backends::LinkSource* link_ = nullptr;
    std::unique_ptr<WithoutLatency> withoutLatency_;
    platform::TimerService timers_;
    std::unique_ptr<engine::RhythmEngine> engine_;
    std::chrono::steady_clock::time_point lastTick_{};
};

// Tambrel and LinkHut on a private JACK server, each recorded where it is heard.
class LinkRig {
public:
    LinkRig() = default;
    LinkRig(const LinkRig&) = delete;
    LinkRig& operator=(const LinkRig&) = delete;

    // Everything up, Tambrel following and LinkHut its peer; false with the reason in `why`.
    bool start(const RigSetup& setup, std::string& why);

    std::optional<std::chrono::microseconds> tickUntil(const std::function<bool()>& done,
                                                       std::chrono::milliseconds limit) {
        return tambrel_.tickUntil(done, limit);
    }
    void tickFor(std::chrono::milliseconds duration) { tambrel_.tickFor(duration); }
    engine::RhythmEngine& engine() { return tambrel_.engine(); }
    backends::LinkSource& link() { return tambrel_.link(); }
    testing::LinkHutProgram& linkHut() { return *linkHut_; }
    const std::string& jackServer() const { return server_.name(); }
    void startRecording();
    // Sound starts on the recordings' clock: Tambrel's claves and LinkHut's clicks.
    std::vector<double> ourOnsets() const;
    std::vector<double> theirOnsets() const;
    // The longest time the server stood still in either recording, milliseconds: a dummy
    // driver held up by the busy machine, after which every client relearns its clock.
    double longestStallMs() const;
    // Where Tambrel's recording heard no period for longer than 20 ms: when the silence
    // ended, on the recordings' clock, and how long it was, seconds.
    std::vector<std::pair<double, double>> stalls() const;
    std::chrono::nanoseconds outputLatency() const { return tambrel_.outputLatency(); }
    // How long after the recordings hear a sample it leaves the server's playback ports.
    double playbackLatencyMs() const { return 1000 * ours_->playbackLatency(); }

private:
    bool startLinkHut(const RigSetup& setup, std::string& why);

    testing::PrivateJackServer server_;
    std::unique_ptr<testing::LinkHutProgram> linkHut_;
    std::unique_ptr<testing::JackAudioRecorder> ours_;
    std::unique_ptr<testing::JackAudioRecorder> theirs_;
    TambrelPeer tambrel_;
};

} // namespace tambrel::bench
