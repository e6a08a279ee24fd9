#include "own_clock.h"

#include <cmath>

namespace tambrel::engine {

bool OwnClockTimeline::start(std::uint32_t periodMs, StepFn step, void* user) noexcept {
    stop();
    step_ = step;
    user_ = user;
    if (pace_ != nullptr) {
        startFrame_ = pace_->frameAt(TimelineClock::now());
        periodFrames_ = static_cast<double>(periodMs) * pace_->sampleRate() / 1000.0;
        timerId_ = timers_.start(periodMs, &OwnClockTimeline::onExpiry, this,
                                 {&OwnClockTimeline::paced, this});
    }
    if (timerId_ == 0) {
        timerId_ = timers_.start(periodMs, &OwnClockTimeline::onExpiry, this);
    }
    return timerId_ != 0;
}

void OwnClockTimeline::stop() noexcept {
    if (timerId_ != 0) {
        timers_.kill(timerId_);
        timerId_ = 0;
    }
}

void OwnClockTimeline::onExpiry(void* self, platform::TimerClock::time_point due) noexcept {
    auto* clock = static_cast<OwnClockTimeline*>(self);
    clock->step_(clock->user_, due);
}

platform::TimerClock::time_point OwnClockTimeline::paced(void* self, std::int64_t n) noexcept {
    const auto* clock = static_cast<const OwnClockTimeline*>(self);
    const auto frames = std::llround(static_cast<double>(n) * clock->periodFrames_);
    return clock->pace_->momentOf(clock->startFrame_ + static_cast<std::uint32_t>(frames));
}

} // namespace tambrel::engine
