// The step clock's timer service: the timers' identifiers, their start and their kill from
// any thread, alike on every platform. What a timer is differs (periodic_timer_impl.h).

#include "platform/periodic_timer_impl.h"

#include <algorithm>
#include <thread>

namespace tambrel::platform {

namespace {

// One thread-local record, so that a timer's thread makes one thread-local block (on
// Windows its first expiry allocates it).
struct ExpiryContext {
    bool timerThread = false;
    bool inExpiry = false;
    std::chrono::steady_clock::time_point due{};
};
thread_local ExpiryContext expiryContext;

} // namespace

bool onTimerThread() noexcept {
    return expiryContext.timerThread;
}

void markTimerThread() noexcept {
    expiryContext.timerThread = true;
}

std::chrono::steady_clock::time_point expiryDueTime() noexcept {
    return expiryContext.inExpiry ? expiryContext.due : std::chrono::steady_clock::now();
}

void runExpiry(TimerCallbackFn callback, void* user,
               std::chrono::steady_clock::time_point due) noexcept {
    ExpiryContext& context = expiryContext;
    context.due = due;
    context.inExpiry = true;
    callback(user);
    context.inExpiry = false;
}

std::chrono::microseconds LateWakeups::delay(std::uint32_t timerId,
                                             std::uint64_t expiry) const noexcept {
    // splitmix64: one well-mixed number per expiry, from the seed and the timer.
    std::uint64_t z = seed + timerId + (expiry + 1) * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return std::chrono::microseconds(static_cast<std::int64_t>(z % (maxLateMicros + 1ULL)));
}

// One timer's late wake-ups: its expiries run this instead of the callback, which waits
// until the expiry's slot plus its delay and then runs the callback.
struct LateExpiry {
    TimerCallbackFn callback = nullptr;
    void* user = nullptr;
    LateWakeups wakeups;
    std::uint32_t timerId = 0;
    std::uint64_t expiries = 0;

    static void run(void* self) noexcept {
        auto* late = static_cast<LateExpiry*>(self);
        const auto delay = late->wakeups.delay(late->timerId, late->expiries++);
        std::this_thread::sleep_until(expiryDueTime() + delay);
        late->callback(late->user);
    }
};

TimerService::TimerService() = default;

TimerService::TimerService(LateWakeups late) : lateWakeups_(true), late_(late) {}

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

std::uint32_t TimerService::start(std::uint32_t periodMs, TimerCallbackFn callback,
                                  void* user) noexcept {
    if (periodMs == 0 || callback == nullptr) {
        return 0;
    }
    const TimerCaps range = caps();
    const std::uint32_t resolution = std::clamp(resolution_ == 0 ? range.periodMin : resolution_,
                                                range.periodMin, range.periodMax);
    std::lock_guard lock(mutex_);
    const std::uint32_t id = nextId_++;
    try {
        if (lateWakeups_) {
            auto late = std::make_unique<LateExpiry>();
            *late = {callback, user, late_, id, 0};
            callback = &LateExpiry::run;
            user = late.get();
            lateExpiries_[id] = std::move(late);
        }
        // Its place in the map first: nothing can throw once expiries may come.
        std::unique_ptr<PeriodicTimerImpl>& timer = timers_[id];
        timer = startPeriodicTimer(periodMs, resolution, callback, user, stats_);
        if (timer == nullptr) {
            timers_.erase(id);
            lateExpiries_.erase(id);
            return 0;
        }
    } catch (...) {
        timers_.erase(id);
        lateExpiries_.erase(id);
        return 0;
    }
    return id;
}

void TimerService::kill(std::uint32_t id) noexcept {
    std::unique_ptr<PeriodicTimerImpl> timer;
    std::unique_ptr<LateExpiry> late;
    {
        std::lock_guard lock(mutex_);
        const auto it = timers_.find(id);
        if (it == timers_.end()) {
            return;
        }
        timer = std::move(it->second);
        timers_.erase(it);
        if (const auto lateIt = lateExpiries_.find(id); lateIt != lateExpiries_.end()) {
            late = std::move(lateIt->second);
            lateExpiries_.erase(lateIt);
        }
    }
    const bool fromOwnExpiry = timer->onOwnThread();
    timer->stop(fromOwnExpiry);
    if (fromOwnExpiry) {
        // The expiry that killed it is still inside its callback: the timer must outlive
        // it (on Windows the expiry frees it as it returns; on Linux one small leak on a
        // path the program never takes beats a use after free).
        timer.release();
        late.release();
    }
}

bool TimerService::isRunning(std::uint32_t id) const {
    std::lock_guard lock(mutex_);
    return timers_.count(id) != 0;
}

} // namespace tambrel::platform
