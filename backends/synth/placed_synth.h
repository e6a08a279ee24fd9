#pragma once
// The built-in synth with every message placed at its own frame: a sender stamps each
// message with the moment it was due, on the clock that the audio runs on (a JACK server's
// frame clock, the monotonic clock for a stream that a sound server pulls, or the stream's
// own frames offline), and hands it through a lock-free ring to the audio side. There each
// message is placed at the frame of its stamp plus one fixed latency: the synth is rendered
// up to that frame, the message applied, and the rendering goes on. Every note is then late
// by the same amount, instead of by however far the next audio block happened to be, and
// the steps keep the spacing of the step clock's schedule. FluidSynth itself starts notes
// only on its own 64-frame grid (1.3 ms at 48 kHz): that is the finest this path can do.
//
// Whatever plays it (an audio output, the offline renderer) drives it from one thread at a
// time, so FluidSynth's own locking is off.

#include "backends/jack/jack_placement.h"
#include "backends/synth/gm_synth.h"
#include "backends/synth/stream_clock.h"
#include "midiout/timed_message.h"
#include "platform/spsc_ring.h"

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>

namespace tambrel::backends {

class PlacedSynth {
public:
    using Clock = midiout::MidiClock;

    // A moment as the stream clock takes it: nanoseconds of the monotonic clock.
    static std::int64_t nanosOf(Clock::time_point moment) noexcept {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(moment.time_since_epoch())
            .count();
    }

    // The rate of a stream that the synth renders for a sound server (PulseAudio, PipeWire,
    // ALSA) and offline. Through JACK it renders at the server's rate.
    static constexpr double kStreamSampleRate = 48000.0;
    // Audio period and number of periods asked of PulseAudio and ALSA: the server asks for
    // 128 frames (2.7 ms at 48 kHz) whenever that much of a 1024-frame (21 ms) buffer has
    // played. The short requests keep the stream clock well fed; the buffer rides out a
    // sound server that a busy machine keeps waiting (two busy loops on two cores, with the
    // audio thread at its real-time priority). Each millisecond of it is a millisecond more
    // from Play to the first sound: with 32 ms, PipeWire through pipewire-pulse took 72 ms
    // from a step's due moment to its sound; with 21 ms, 57 ms.
    static constexpr int kPeriodFrames = 128;
    static constexpr int kPeriods = 8;
    // The fixed latency on a stream: a message plays this many frames after the frame that
    // the stream had been brought to at its stamp (on the stream clock's line). The step
    // clock's thread may wake up to the wake-up allowance after its step was due
    // (jack_placement.h), and a server bunches its requests, so that a callback may run a
    // few periods ahead of the line: the allowance and four periods keep every message's
    // frame ahead of what is already rendered (with two, a timer that woke 0-20 ms late lost
    // two notes in 400 to a bunched request).
    static constexpr int kClockLatencyFrames =
        static_cast<int>(kLateWakeAllowanceSeconds * kStreamSampleRate + 0.5) + 4 * kPeriodFrames;
    // (Through JACK the fixed latency is one period and the same allowance, as for the JACK
    // MIDI output: jackDelayFrames.)

    // Where a message goes in the block that first sees it, given the offset that its stamp
    // and the fixed latency point at (negative: a frame already rendered; the block's length
    // or more: a later block's). The program places every message there; a benchmark may
    // place them otherwise to measure against it.
    using Placement = std::int64_t (*)(std::int64_t stampOffset) noexcept;
    static std::int64_t atStamp(std::int64_t stampOffset) noexcept { return stampOffset; }

    explicit PlacedSynth(Placement placement = &PlacedSynth::atStamp) noexcept;
    ~PlacedSynth();
    PlacedSynth(const PlacedSynth&) = delete;
    PlacedSynth& operator=(const PlacedSynth&) = delete;

    // While nothing renders: a synth at `sampleRate` (the one loaded before when it has that
    // rate and nothing has played it since), nothing waiting, the stream at its frame 0.
    // False when the soundfont cannot be loaded.
    [[nodiscard]] bool start(const std::string& soundfont, double sampleRate);
    // While nothing renders: the synth goes.
    void stop() noexcept;
    // The synth is left to whatever may still be rendering it (an audio callback that did
    // not let go of it); the next start loads another.
    void abandon() noexcept;
    bool started() const noexcept { return synth_ != nullptr; }
    double sampleRate() const noexcept { return synth_ ? synth_->sampleRate() : 0.0; }
    // For an output that drives the synth through FluidSynth's own audio drivers.
    GmSynth* synth() const noexcept { return synth_.get(); }

    // One sending thread at a time. Each hands the message to the audio side, stamped: with
    // its due moment on the monotonic clock, with the frame of a JACK server's frame clock
    // at which it was due, or with the stream frame at which it plays. Never waits, locks or
    // allocates; false (and counted) when the ring is full.
    bool pushAtMoment(const midiout::TimedMessage& message) noexcept;
    bool pushAtJackFrame(const midiout::TimedMessage& message, std::uint32_t frame) noexcept;
    bool pushAtStreamFrame(const midiout::TimedMessage& message, std::int64_t frame) noexcept;
    // A step of start number `start` through JACK, `offset` frames after the frame that the
    // followed transport's roll releases it on (jack_placement.h: placeReleased).
    bool pushAtRelease(const midiout::TimedMessage& message, std::uint32_t offset,
                       std::uint8_t start) noexcept;

    // The audio side, while started. One JACK period that starts at `cycleStart` on the
    // server's frame clock, each message at its stamp plus JACK's delay, and a start's
    // steps from the frame of its `release`.
    void renderJackPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left, float* right,
                          JackRelease release = {}) noexcept;
    // The next `frames` frames of a stream, as asked for by a callback at `nanos` on the
    // monotonic clock: each message at its stamp's frame on the stream clock's line plus the
    // fixed latency, plus `waitFrames` on a stream whose messages may wait that long for the
    // block that takes them (a graph that renders a whole quantum at a cycle's start).
    // A message whose place lies in the first `unheard` frames, which the server will not
    // play, starts on the first frame that it will: heard late, and counted late, not lost.
    void renderStream(std::int64_t nanos, int frames, float* left, float* right, int waitFrames = 0,
                      int unheard = 0) noexcept;
    // Rung out with nothing waiting: a stream may rest until the next message.
    bool mayRest() const noexcept;

    // Messages dropped because the ring was full.
    std::uint64_t droppedCount() const noexcept { return dropped_.load(); }
    // Messages whose frame had already been rendered when the audio side saw them: they
    // played at the start of the block, in their order.
    std::uint64_t lateCount() const noexcept { return late_.load(); }

private:
    enum class Stamp : std::uint8_t { Moment, JackFrame, StreamFrame, Release };
    // What an offset function says of a message that is to be thrown away.
    static constexpr std::int64_t kDropped = INT64_MIN;
    struct Timed {
        std::int64_t at = 0; // nanoseconds, JACK frames or stream frames, by `stamp`
        std::array<std::uint8_t, 3> bytes{};
        std::uint8_t size = 0;
        Stamp stamp = Stamp::Moment;
        std::uint8_t start = 0; // a start's step: which start
    };

    bool push(const midiout::TimedMessage& message, Stamp stamp, std::int64_t at,
              std::uint8_t start = 0) noexcept;
    template <typename OffsetOf>
    void renderPlaced(int frames, float* left, float* right, OffsetOf offsetOf,
                      int unheard = 0) noexcept;

    const Placement placement_;
    std::unique_ptr<GmSynth> synth_;
    // Rendered since it was loaded: another start loads a fresh one.
    bool played_ = false;
    platform::SpscRing<Timed, 1024> pending_;
    // The audio side's own: the stream's frames rendered since start, and the loop that
    // maps the monotonic clock onto them.
    std::int64_t streamFrame_ = 0;
    StreamClock streamClock_;
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> late_{0};
};

} // namespace tambrel::backends
