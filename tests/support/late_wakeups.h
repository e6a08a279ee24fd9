#pragma once
// For the timing tests and benchmarks: a periodic timer that wakes late on purpose, each
// expiry a random 0 to `maxLateMicros` after its slot (the same sequence for the same seed),
// while the callback is still handed the slot. It shows what a loaded machine's late
// wake-ups do to the notes, on demand.

#include "platform/periodic_timer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace tambrel::testing {

struct LateWakeups {
    std::uint32_t maxLateMicros = 20000;
    std::uint64_t seed = 1;

    // How late the expiry numbered `expiry` (from 0) of the timer with identifier `timerId`
    // wakes: what an offline test replays without a clock.
    std::chrono::microseconds delay(std::uint32_t timerId, std::uint64_t expiry) const noexcept;
};

// One periodic timer on `timers`, every `periodMs` running `callback`, late on purpose when
// `late` is set. Killed when this goes.
class TestTimer {
public:
    TestTimer(platform::TimerService& timers, std::optional<LateWakeups> late = std::nullopt)
        : timers_(timers), late_(late) {}
    ~TestTimer() { stop(); }
    TestTimer(const TestTimer&) = delete;
    TestTimer& operator=(const TestTimer&) = delete;

    // The timer's identifier, 0 when it could not start.
    std::uint32_t start(std::uint32_t periodMs, platform::TimerCallbackFn callback, void* user);
    void stop() noexcept;

private:
    static void lateExpiry(void* self, platform::TimerClock::time_point due) noexcept;

    platform::TimerService& timers_;
    std::optional<LateWakeups> late_;
    platform::TimerCallbackFn callback_ = nullptr;
    void* user_ = nullptr;
    std::atomic<std::uint32_t> id_{0}; // read by the late expiries
    std::uint64_t expiries_ = 0;
};

} // namespace tambrel::testing
