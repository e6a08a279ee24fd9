#pragma once
// Which frame of an audio stream a moment of the monotonic clock belongs to, for a sound
// server that pulls audio through callbacks (PulseAudio, PipeWire, ALSA). The callbacks
// come bunched, late, in bursts of several at once; taken one by one they would move
// every note by as much. A delay-locked loop (the filter JACK uses for its own clock)
// follows their average instead: fed with each callback's time and first frame, it keeps
// a straight line from time to frame whose slope is the stream's real rate, and which
// a single early or late callback bends only a little.
//
// Only the thread that runs the callbacks uses it.

#include <cstdint>

namespace tambrel::backends {

class StreamClock {
public:
    // `bandwidthHz`: how quickly the line follows the callbacks. Lower is steadier
    // against jitter, slower to lock on. For the first `startSeconds` of the stream it
    // follows them at `startBandwidthHz` instead: a stream starts by filling the server's
    // buffer at once, and the line must leave that behind quickly.
    StreamClock(double sampleRate, double bandwidthHz, double startBandwidthHz,
                double startSeconds) noexcept;
    // The settings the built-in synth's stream uses.
    static StreamClock forSoundServer(double sampleRate) noexcept;

    // Forgets everything: the next update starts the line anew.
    void reset() noexcept;
    // A callback at `nanos` (monotonic clock) that brings the stream to `frame`.
    void update(std::int64_t nanos, std::int64_t frame) noexcept;
    // The stream frame of the moment `nanos` on the line; only after a first update.
    double frameAt(std::int64_t nanos) const noexcept;
    bool started() const noexcept { return started_; }
    // How often a callback strayed so far from the line that it was started anew (a
    // stream that ran dry, a machine that stood still).
    std::uint64_t restarts() const noexcept { return restarts_; }

private:
    void restart(std::int64_t nanos, std::int64_t frame) noexcept;

    double sampleRate_;
    double bandwidthHz_;
    double startBandwidthHz_;
    std::int64_t startFrames_;
    bool started_ = false;
    std::int64_t firstFrame_ = 0;
    std::int64_t origin_ = 0; // nanos of the first update: keeps the doubles small
    double lineTime_ = 0.0;   // ns after origin_ at which the line puts lineFrame_
    std::int64_t lineFrame_ = 0;
    double nanosPerFrame_ = 0.0;
    std::uint64_t restarts_ = 0;
};

} // namespace tambrel::backends
