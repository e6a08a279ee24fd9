#pragma once
// An audio server's frame clock, as an output that places messages on it sees it (our JACK
// client's). The step clock may be paced by it: each step then falls a whole step of the
// server's frames after the one before, to the frame, however the server's frames and the
// machine's clock drift apart, so that what a receiver counts in frames (MIDI clock, the
// notes) never drifts.

#include "midiout/timed_message.h"

#include <chrono>
#include <cstdint>

namespace tambrel::midiout {

class FrameClock {
public:
    virtual ~FrameClock() = default;
    virtual std::uint32_t sampleRate() const noexcept = 0;
    // Any thread, without waiting: the frame at a moment, and the moment of a frame within
    // a few seconds of now, by the same line (the one a message due then is placed by).
    virtual std::uint32_t frameAt(Moment moment) const noexcept = 0;
    virtual Moment momentOf(std::uint32_t frame) const noexcept = 0;
};

// Frames of the machine's own steady clock at a nominal rate, counted from when it was made:
// the frame clock of a followed source where no audio server's frames are at hand (the
// synth on a desktop stream, a MIDI port), whose outputs place messages by their moments.
class SteadyFrames final : public FrameClock {
public:
    explicit SteadyFrames(std::uint32_t rate = 48000) noexcept : rate_(rate) {}

    std::uint32_t sampleRate() const noexcept override { return rate_; }
    std::uint32_t frameAt(Moment moment) const noexcept override {
        return static_cast<std::uint32_t>(framesSinceOrigin(moment));
    }
    Moment momentOf(std::uint32_t frame) const noexcept override {
        // The frame nearest now that wraps to `frame`: within 2^31 frames (12 hours).
        const std::int64_t now = framesSinceOrigin(MidiClock::now());
        const std::int64_t frames =
            now + static_cast<std::int32_t>(frame - static_cast<std::uint32_t>(now));
        return origin_ + std::chrono::seconds(frames / rate_) +
               std::chrono::nanoseconds(frames % rate_ * 1'000'000'000 / rate_);
    }

private:
    std::int64_t framesSinceOrigin(Moment moment) const noexcept {
        const auto nanos =
            std::chrono::duration_cast<std::chrono::nanoseconds>(moment - origin_).count();
        // To the nearest frame, as the line of a server's clock gives it; whole seconds apart
        // so that a program left running for weeks does not overflow.
        constexpr std::int64_t kSecond = 1'000'000'000;
        std::int64_t seconds = nanos / kSecond;
        std::int64_t rest = nanos % kSecond;
        if (rest < 0) { // a moment before the origin: the rest counts up from a whole second
            rest += kSecond;
            --seconds;
        }
        return seconds * rate_ + (rest * rate_ + kSecond / 2) / kSecond;
    }

    std::uint32_t rate_;
    Moment origin_ = MidiClock::now();
};

} // namespace tambrel::midiout
