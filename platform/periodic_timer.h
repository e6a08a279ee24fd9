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

using TimerClock = std::chrono::steady_clock;

// One expiry, on the timer's thread: `due` is its slot on the timer's schedule, however
// late the thread woke for it.
using TimerCallbackFn = void (*)(void* user, TimerClock::time_point due) noexcept;

// A timer's own schedule in place of start + n x period: the moment of expiry n (1, 2, ...)
// on the steady clock, so that the expiries may follow another clock (an audio server's
// frames). Asked when the timer waits for expiry n and again as it runs it, so that the
// moment the expiry hands over is the schedule's latest word. Any thread; never waits,
// locks or allocates.
struct TimerSchedule {
    TimerClock::time_point (*at)(void* user, std::int64_t n) noexcept = nullptr;
    void* user = nullptr;
};

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

class TimerService {
public:
    TimerService();
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
    // timer could be started (a period of 0, or no thread, or a schedule of its own where
    // the platform's timer keeps only its period: Windows').
    [[nodiscard]] std::uint32_t start(std::uint32_t periodMs, TimerCallbackFn callback, void* user,
                                      TimerSchedule schedule = {}) noexcept;
    // Returns once no expiry of that timer runs any more and none will come. An
    // identifier that is not running is ignored. Called from the timer's own callback
    // it only stops further expiries (the step tick never does this).
    void kill(std::uint32_t id) noexcept;
    // A timer with a schedule of its own asks it again at once: a schedule that moved its
    // next expiry earlier (a source of time that asked to be looked at now) is kept to.
    // Any thread but the timer's; an identifier that is not running is ignored. A timer that
    // keeps only its period (Windows') does not wait for a schedule and ignores it.
    void wake(std::uint32_t id) noexcept;
    bool isRunning(std::uint32_t id) const;
    const TimerStats& stats() const noexcept { return stats_; }

private:
    // Guards the map. Taken on the threads that start and kill timers; an expiry takes it
    // only if its callback kills a timer, which the step tick never does.
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::unique_ptr<PeriodicTimerImpl>> timers_;
    std::uint32_t nextId_ = 1;
    std::uint32_t resolution_ = 0;
    TimerStats stats_;
};

// The name of the thread that runs a periodic timer's expiries (on Linux, where the timer is a
// thread of our own): where the step tick runs, and where nothing may allocate, lock or wait.
inline constexpr const char* kTimerThreadName = "tambrel-timer";

// Asks for real-time priority (and, on Linux, a fine timer slack) for the calling thread;
// quietly keeps the defaults where that is not allowed. Returns true when it was granted.
bool raiseTimerThreadPriority() noexcept;

} // namespace tambrel::platform
