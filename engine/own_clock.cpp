#include "own_clock.h"

namespace tambrel::engine {

bool OwnClockTimeline::start(std::uint32_t periodMs, StepFn step, void* user) noexcept {
    stop();
    step_ = step;
    user_ = user;
    timerId_ = timers_.start(periodMs, &OwnClockTimeline::onExpiry, this);
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

} // namespace tambrel::engine
