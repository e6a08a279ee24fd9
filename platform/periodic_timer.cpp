#include "platform/periodic_timer_impl.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace tambrel::platform {

namespace {

constexpr long kNanosPerSecond = 1000000000L;
// Modest: above ordinary threads, well below the audio servers' own real-time threads.
constexpr int kTimerPriority = 10;
// How late an expiry may be before the ones it overran are dropped: a whole period, and
// never less than this.
constexpr long long kDropLateAfterNanos = 50'000'000;

timespec addNanos(timespec t, long long nanos) {
    const long long total = static_cast<long long>(t.tv_nsec) + nanos;
    t.tv_sec += static_cast<time_t>(total / kNanosPerSecond);
    t.tv_nsec = static_cast<long>(total % kNanosPerSecond);
    return t;
}

// Waits until the absolute CLOCK_MONOTONIC deadline or until *word stops being
// `expected`. FUTEX_WAIT_BITSET takes an absolute monotonic timeout, so a kill (or a wake)
// reaches the thread at once instead of after a whole step period.
void waitUntil(std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec& deadline) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE, expected,
            &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void wakeWaiter(std::atomic<std::uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

long long nanosBetween(const timespec& from, const timespec& to) {
    return static_cast<long long>(to.tv_sec - from.tv_sec) * kNanosPerSecond +
           (to.tv_nsec - from.tv_nsec);
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The deadline as a point of the steady clock, which is CLOCK_MONOTONIC on Linux.
std::chrono::steady_clock::time_point steadyAt(const timespec& t) noexcept {
    return std::chrono::steady_clock::time_point(
        std::chrono::nanoseconds(static_cast<long long>(t.tv_sec) * kNanosPerSecond + t.tv_nsec));
}

} // namespace

bool raiseTimerThreadPriority() noexcept {
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    sched_param param{};
    param.sched_priority = kTimerPriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

namespace {

// A thread of its own that keeps the absolute deadlines.
class ThreadTimer final : public PeriodicTimerImpl {
public:
    ThreadTimer(std::uint32_t periodMs, TimerCallbackFn callback, void* user, TimerStats& stats,
                TimerSchedule schedule)
        : periodNanos_(static_cast<long long>(periodMs) * 1000000LL), callback_(callback),
          user_(user), stats_(stats), schedule_(schedule) {
        clock_gettime(CLOCK_MONOTONIC, &start_);
        thread_ = std::thread([this] { run(); });
    }

    ~ThreadTimer() override { stop(false); }

    // From its own thread (an expiry), the thread is let go of instead of joined.
    void stop(bool /*fromOwnExpiry*/) noexcept override {
        word_.fetch_or(kStopped, std::memory_order_release);
        wakeWaiter(&word_);
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id()) {
                thread_.detach();
            } else {
                thread_.join();
            }
        }
    }

    bool onOwnThread() const noexcept override {
        return thread_.get_id() == std::this_thread::get_id();
    }

    void wake() noexcept override {
        word_.fetch_add(kWoken, std::memory_order_release);
        wakeWaiter(&word_);
    }

private:
    void run() {
        // Named, so that a debugger, top and the tests' allocation counter know it.
        pthread_setname_np(pthread_self(), kTimerThreadName);
        raiseTimerThreadPriority();
        for (long long n = 1;; ++n) {
            timespec deadline = deadlineOf(n);
            // After a stall (the program suspended, a debugger, a starved machine) the
            // steps that were missed are dropped: played late all at once they would be a
            // burst of notes. The next tick keeps to the absolute schedule. A short hiccup
            // at a fine period is still caught up, one expiry after another.
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long lateNanos = nanosBetween(deadline, now);
            if (lateNanos >= std::max(periodNanos_, kDropLateAfterNanos)) {
                n += lateNanos / periodNanos_;
                deadline = deadlineOf(n);
            }
            for (;;) {
                // Read before the schedule is asked: a wake after it changes the word, and
                // the wait below returns at once rather than sleep to a deadline gone by.
                const std::uint32_t seen = word_.load(std::memory_order_acquire);
                if ((seen & kStopped) != 0) {
                    return;
                }
                if (schedule_.at != nullptr) {
                    deadline = deadlineOf(n);
                }
                if (!before(now, deadline)) {
                    break;
                }
                waitUntil(&word_, seen, deadline);
                clock_gettime(CLOCK_MONOTONIC, &now);
            }
            stats_.record(nanosBetween(deadline, now));
            callback_(user_, schedule_.at != nullptr ? schedule_.at(schedule_.user, n)
                                                     : steadyAt(deadline));
        }
    }

    timespec deadlineOf(long long n) const noexcept {
        if (schedule_.at == nullptr) {
            return addNanos(start_, n * periodNanos_);
        }
        const long long nanos = schedule_.at(schedule_.user, n).time_since_epoch().count();
        return timespec{static_cast<time_t>(nanos / kNanosPerSecond),
                        static_cast<long>(nanos % kNanosPerSecond)};
    }

    long long periodNanos_;
    TimerCallbackFn callback_;
    void* user_;
    TimerStats& stats_;
    TimerSchedule schedule_;
    timespec start_{};
    // Bit 0: stopped. The rest counts the wakes (wake()), so that none is lost between
    // asking the schedule and waiting.
    static constexpr std::uint32_t kStopped = 1;
    static constexpr std::uint32_t kWoken = 2;
    std::atomic<std::uint32_t> word_{0};
    std::thread thread_;
};

} // namespace

std::unique_ptr<PeriodicTimerImpl> startPeriodicTimer(std::uint32_t periodMs,
                                                      std::uint32_t /*resolutionMs*/,
                                                      TimerCallbackFn callback, void* user,
                                                      TimerStats& stats, TimerSchedule schedule) {
    // Linux's timers are as fine as any resolution asked for.
    return std::make_unique<ThreadTimer>(periodMs, callback, user, stats, schedule);
}

TimerCaps TimerService::caps() const noexcept {
    return {};
}

} // namespace tambrel::platform
