#include "tests/support/late_wakeups.h"

#include <thread>

namespace tambrel::testing {

std::chrono::microseconds LateWakeups::delay(std::uint32_t timerId,
                                             std::uint64_t expiry) const noexcept {
    // splitmix64: one well-mixed number per expiry, from the seed and the timer.
    std::uint64_t z = seed + timerId + (expiry + 1) * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return std::chrono::microseconds(static_cast<std::int64_t>(z % (maxLateMicros + 1ULL)));
}

std::uint32_t TestTimer::start(std::uint32_t periodMs, platform::TimerCallbackFn callback,
                               void* user) {
    stop();
    callback_ = callback;
    user_ = user;
    expiries_ = 0;
    id_ = late_ ? timers_.start(periodMs, &TestTimer::lateExpiry, this)
                : timers_.start(periodMs, callback, user);
    return id_;
}

void TestTimer::stop() noexcept {
    if (const std::uint32_t id = id_.exchange(0); id != 0) {
        timers_.kill(id);
    }
}

void TestTimer::lateExpiry(void* self, platform::TimerClock::time_point due) noexcept {
    auto* timer = static_cast<TestTimer*>(self);
    std::this_thread::sleep_until(due + timer->late_->delay(timer->id_.load(), timer->expiries_++));
    timer->callback_(timer->user_, due);
}

} // namespace tambrel::testing
