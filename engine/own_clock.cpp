#include "own_clock.h"

#include <cmath>

namespace tambrel::engine {

bool OwnClockTimeline::start(std::uint32_t periodMs, StepFn step, void* user) noexcept {
    stop();
    step_ = step;
    user_ = user;
    periodMs_ = periodMs;
    startedAt_ = TimelineClock::now();
    if (pace_ != nullptr) {
        startFrame_ = pace_->frameAt(startedAt_);
        periodFrames_ = static_cast<double>(periodMs) * pace_->sampleRate() / 1000.0;
        timerId_ = timers_.start(periodMs, &OwnClockTimeline::onExpiry, this,
                                 {&OwnClockTimeline::paced, this});
    }
    pacedRun_ = timerId_ != 0;
    if (timerId_ == 0) {
        timerId_ = timers_.start(periodMs, &OwnClockTimeline::onExpiry, this);
    }
    return timerId_ != 0;
}

StepMoment OwnClockTimeline::dueOf(std::int64_t n) const noexcept {
    if (pacedRun_) {
        return pacedDue(n);
    }
    return startedAt_ + std::chrono::milliseconds(n * periodMs_);
}

void OwnClockTimeline::stop() noexcept {
    if (timerId_ != 0) {
        timers_.kill(timerId_);
        timerId_ = 0;
    }
}

void OwnClockTimeline::onExpiry(void* self, platform::TimerClock::time_point due) noexcept {
    auto* clock = static_cast<OwnClockTimeline*>(self);
    clock->step_(clock->user_, TimelineStep{due, 0, {}, false});
}

platform::TimerClock::time_point OwnClockTimeline::paced(void* self, std::int64_t n) noexcept {
    return static_cast<const OwnClockTimeline*>(self)->pacedDue(n);
}

StepMoment OwnClockTimeline::pacedDue(std::int64_t n) const noexcept {
    const auto frames = std::llround(static_cast<double>(n) * periodFrames_);
    return pace_->momentOf(startFrame_ + static_cast<std::uint32_t>(frames));
}

} // namespace tambrel::engine
