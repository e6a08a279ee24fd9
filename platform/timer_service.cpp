// The step clock's timer service: the timers' identifiers, their start and their kill from
// any thread, alike on every platform. What a timer is differs (periodic_timer_impl.h).

#include "platform/periodic_timer_impl.h"

#include <algorithm>

namespace tambrel::platform {

TimerService::TimerService() = default;

TimerService::~TimerService() {
    std::map<std::uint32_t, std::unique_ptr<PeriodicTimerImpl>> timers;
    {
        std::lock_guard lock(mutex_);
        timers.swap(timers_);
    }
    for (auto& [id, timer] : timers) {
        timer->stop(false);
    }
}

int TimerService::requestResolution(std::uint32_t ms) noexcept {
    resolution_ = ms;
    return 0;
}

std::uint32_t TimerService::start(std::uint32_t periodMs, TimerCallbackFn callback, void* user,
                                  TimerSchedule schedule) noexcept {
    if (periodMs == 0 || callback == nullptr) {
        return 0;
    }
    const TimerCaps range = caps();
    const std::uint32_t resolution = std::clamp(resolution_ == 0 ? range.periodMin : resolution_,
                                                range.periodMin, range.periodMax);
    std::lock_guard lock(mutex_);
    const std::uint32_t id = nextId_++;
    try {
        // Its place in the map first: nothing can throw once expiries may come.
        std::unique_ptr<PeriodicTimerImpl>& timer = timers_[id];
        timer = startPeriodicTimer(periodMs, resolution, callback, user, stats_, schedule);
        if (timer == nullptr) {
            timers_.erase(id);
            return 0;
        }
    } catch (...) {
        timers_.erase(id);
        return 0;
    }
    return id;
}

void TimerService::kill(std::uint32_t id) noexcept {
    std::unique_ptr<PeriodicTimerImpl> timer;
    {
        std::lock_guard lock(mutex_);
        const auto it = timers_.find(id);
        if (it == timers_.end()) {
            return;
        }
        timer = std::move(it->second);
        timers_.erase(it);
    }
    const bool fromOwnExpiry = timer->onOwnThread();
    timer->stop(fromOwnExpiry);
    if (fromOwnExpiry) {
        // The expiry that killed it is still inside its callback: the timer must outlive
        // it (on Windows the expiry frees it as it returns; on Linux one small leak on a
        // path the program never takes beats a use after free).
        timer.release();
    }
}

void TimerService::wake(std::uint32_t id) noexcept {
    std::lock_guard lock(mutex_);
    if (const auto it = timers_.find(id); it != timers_.end()) {
        it->second->wake();
    }
}

bool TimerService::isRunning(std::uint32_t id) const {
    std::lock_guard lock(mutex_);
    return timers_.count(id) != 0;
}

} // namespace tambrel::platform
