#pragma once
// Periodic timers for the step clock: a whole-millisecond period, the first expiry one
// period after the start, expiries on a thread other than the caller's one after another,
// on an absolute schedule (start + n x period) so that the beat never drifts. On Linux a
// thread of our own keeps the deadlines; on Windows the multimedia timer does, and the
// schedule starts where the millisecond it counts from began (up to one before the call).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace tambrel::platform {

struct TimerCaps {
    std::uint32_t periodMin = 1;
    std::uint32_t periodMax = 1000000;
};

using TimerCallbackFn = void (*)(void* user) noexcept;

// What the timers of one service have done since it was made: the expiries that ran a
// callback, and how late the latest of them started after its deadline. Kept with two
// relaxed atomic updates per expiry, for the soak and the benchmarks.
struct TimerStats {
    std::atomic<std::uint64_t> expiries{0};
    std::atomic<std::int64_t> worstLateNanos{0};

    void record(std::int64_t lateNanos) noexcept {
        expiries.fetch_add(1, std::memory_order_relaxed);
        std::int64_t worst = worstLateNanos.load(std::memory_order_relaxed);
        while (lateNanos > worst &&
               !worstLateNanos.compare_exchange_weak(worst, lateNanos, std::memory_order_relaxed)) {
        }
    }
};

class PeriodicTimerImpl;
struct LateExpiry;

// For the benchmarks and the timing tests only: a timer that wakes late on purpose, each
// expiry a random 0 to `maxLateMicros` after its slot (the same sequence for the same
// seed), while expiryDueTime() still reports the slot. It shows what a loaded machine's
// late wake-ups do to the notes, on demand. Only a service made with it behaves so.
struct LateWakeups {
    std::uint32_t maxLateMicros = 20000;
    std::uint64_t seed = 1;

    // How late the expiry numbered `expiry` (from 0) of the timer with identifier `timerId`
    // wakes: what an offline test replays without a clock.
    std::chrono::microseconds delay(std::uint32_t timerId, std::uint64_t expiry) const noexcept;
};

class TimerService {
public:
    TimerService();
    // A service whose timers all wake late on purpose (see LateWakeups).
    explicit TimerService(LateWakeups late);
    ~TimerService(); // kills every timer still running
    TimerService(const TimerService&) = delete;
    TimerService& operator=(const TimerService&) = delete;

    // The periods the platform's timer offers.
    TimerCaps caps() const noexcept;
    // The resolution the timers started from now on ask for: Linux's timers are already
    // as fine as that; on Windows each running timer holds it raised (timeBeginPeriod)
    // until it is killed. Always succeeds.
    int requestResolution(std::uint32_t ms) noexcept;
    std::uint32_t lastRequestedResolution() const noexcept { return resolution_; }

    // Starts a periodic timer; returns its identifier (never reused), or 0 when no
    // timer could be started (a period of 0, or no thread).
    [[nodiscard]] std::uint32_t start(std::uint32_t periodMs, TimerCallbackFn callback,
                                      void* user) noexcept;
    // Returns once no expiry of that timer runs any more and none will come. An
    // identifier that is not running is ignored. Called from the timer's own callback
    // it only stops further expiries (the step tick never does this).
    void kill(std::uint32_t id) noexcept;
    bool isRunning(std::uint32_t id) const;
    const TimerStats& stats() const noexcept { return stats_; }

private:
    // Guards the map. Taken on the threads that start and kill timers; an expiry takes it
    // only if its callback kills a timer, which the step tick never does.
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::unique_ptr<PeriodicTimerImpl>> timers_;
    // Only a service made with LateWakeups: what each of its timers delays, by identifier,
    // each freed only once its timer has stopped.
    bool lateWakeups_ = false;
    LateWakeups late_;
    std::map<std::uint32_t, std::unique_ptr<LateExpiry>> lateExpiries_;
    std::uint32_t nextId_ = 1;
    std::uint32_t resolution_ = 0;
    TimerStats stats_;
};

// Asks for real-time priority (and, on Linux, a fine timer slack) for the calling thread;
// quietly keeps the defaults where that is not allowed. Returns true when it was granted.
bool raiseTimerThreadPriority() noexcept;

// Whether the calling thread is a periodic timer's: where the step tick runs, and where
// nothing may allocate, lock or wait (the tick-contract test counts allocations here).
bool onTimerThread() noexcept;

// When the expiry that the calling thread runs was due: inside a periodic timer's callback,
// its slot on the timer's schedule, however late the thread woke for it; anywhere else,
// now. The outputs that hold every message for a fixed latency stamp the step clock's
// notes with it, so that a late wake-up does not move a note.
std::chrono::steady_clock::time_point expiryDueTime() noexcept;

} // namespace tambrel::platform
