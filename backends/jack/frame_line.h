#pragma once
// The line by which our JACK client puts moments (steady clock) on the server's frames:
// the notes of the MIDI ports, the clock's messages and the built-in synth's notes all go
// by it, so that they land on the same frames.
//
// The server's own estimate of when each period began (its delay-locked loop) jitters on a
// busy machine, and after a stall it settles over many periods: moments a step apart, each
// put on the frames by the estimate of its own moment, came out up to 11 frames off their
// spacing. The line runs instead at the nominal rate and follows the estimate slowly, by
// at most kSlewFrames a period: moments a step apart get frames a step apart, to the frame,
// while a sound card whose clock runs a little fast or slow against the machine's (tens of
// parts per million) is still followed many times over. Only a server that lost or gained
// more than kJumpSeconds at once (periods skipped in a stall) is followed at once, and so
// is one whose estimate stays more than kStraySeconds off the line on average over
// kMeanPeriods: the first estimate, which sets the line, can come from a server still
// settling (a loaded machine starting it), and slewing back from there took minutes while
// every note landed that far off the server's own frames.

#include <atomic>
#include <cstdint>

namespace tambrel::backends {

class FrameLine {
public:
    static constexpr double kSlewFrames = 0.05;
    static constexpr double kJumpSeconds = 0.010;
    static constexpr double kStraySeconds = 0.001;
    static constexpr double kMeanPeriods = 64;

    explicit FrameLine(std::uint32_t sampleRate, std::int64_t originNanos) noexcept
        : rate_(sampleRate), origin_(originNanos) {}

    // The process callback, once a period: the server's estimate that `frame` began at
    // `nanos` (steady clock). The first one sets the line.
    void follow(std::uint32_t frame, std::int64_t nanos) noexcept;
    bool ready() const noexcept { return ready_.load(std::memory_order_acquire); }
    // Any thread, once ready: the frame at `nanos`; and the moment of `frame`, the one of
    // that number nearest `nowNanos` (frame counters wrap), which frameAt turns back into it.
    std::uint32_t frameAt(std::int64_t nanos) const noexcept { return frameAt(nanos, offsetNow()); }
    std::int64_t momentOf(std::uint32_t frame, std::int64_t nowNanos) const noexcept {
        return momentOf(frame, nowNanos, offsetNow());
    }
    // The same by the line as it stood when `offset` was read (offsetNow): a thread that
    // stamps several messages in a row reads it once, so that they keep their distances
    // even when the line moves between two of them.
    std::int64_t offsetNow() const noexcept { return offset_.load(std::memory_order_acquire); }
    std::uint32_t frameAt(std::int64_t nanos, std::int64_t offset) const noexcept;
    std::int64_t momentOf(std::uint32_t frame, std::int64_t nowNanos,
                          std::int64_t offset) const noexcept;

private:
    static constexpr double kFraction = 65536.0; // the offset's fixed point
    double nominal(std::int64_t nanos) const noexcept {
        return static_cast<double>(nanos - origin_) * rate_ / 1e9;
    }
    double offset() const noexcept { return static_cast<double>(offsetNow()) / kFraction; }

    double rate_;
    std::int64_t origin_;
    // Frames at the origin, modulo 2^32, in 1/65536 frames: written by the process
    // callback only.
    std::atomic<std::int64_t> offset_{0};
    std::atomic<bool> ready_{false};
    double meanError_ = 0; // frames, the process callback's alone
};

} // namespace tambrel::backends
