#pragma once
// An audio server's frame clock for the engine's tests: frames at a nominal rate whose clock
// runs `ratio` times as fast as the machine's (1.0: in step), counted from frame `first` at
// the moment it was made.

#include "midiout/frame_clock.h"

#include <chrono>
#include <cmath>
#include <cstdint>

namespace tambrel::testing {

class FakeFrames : public midiout::FrameClock {
public:
    explicit FakeFrames(std::uint32_t rate = 48000, double ratio = 1.0, std::uint32_t first = 1000)
        : rate_(rate), framesPerSecond_(rate * ratio), first_(first) {}

    std::uint32_t sampleRate() const noexcept override { return rate_; }
    std::uint32_t frameAt(midiout::Moment m) const noexcept override {
        return first_ + static_cast<std::uint32_t>(std::llround(seconds(m) * framesPerSecond_));
    }
    midiout::Moment momentOf(std::uint32_t frame) const noexcept override {
        const auto frames = static_cast<std::int32_t>(frame - first_);
        return origin + std::chrono::nanoseconds(std::llround(frames / framesPerSecond_ * 1e9));
    }
    double seconds(midiout::Moment m) const {
        return std::chrono::duration<double>(m - origin).count();
    }

    midiout::Moment origin = midiout::MidiClock::now();

private:
    std::uint32_t rate_;
    double framesPerSecond_;
    std::uint32_t first_;
};

} // namespace tambrel::testing
