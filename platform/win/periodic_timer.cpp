// The step clock's timers on Windows: the multimedia timer (timeSetEvent, TIME_PERIODIC),
// with the resolution raised by timeBeginPeriod for as long as a timer runs.
//
// The multimedia timer keeps its own absolute schedule and, after a stall, fires every
// expiry it missed back to back until it has caught up (measured under Wine: 21 in a row
// after a 100 ms stall at 5 ms). A burst of late steps is exactly what the Linux timer
// refuses to play, so each expiry is checked against the schedule here and the overrun
// ones are dropped the same way.

#include "platform/periodic_timer.h"

#include <windows.h>

#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace tambrel::platform {

namespace {

using Clock = std::chrono::steady_clock;

// How late an expiry may be before the ones it overran are dropped: a whole period, and
// never less than this (the same rule as on Linux).
constexpr long long kDropLateAfterMicros = 50'000;
// The most an expiry is held back when the service fires it before its slot.
constexpr long long kLongestEarlyMicros = 2'000;

// Set on the thread that runs the multimedia timer's expiries, once it has run one.
thread_local bool timerThread = false;

} // namespace

bool onTimerThread() noexcept {
    return timerThread;
}

bool raiseTimerThreadPriority() noexcept {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

class PeriodicTimerImpl {
public:
    PeriodicTimerImpl(std::uint32_t periodMs, std::uint32_t resolutionMs, TimerCallbackFn callback,
                      void* user, TimerStats& stats)
        : periodMicros_(static_cast<long long>(periodMs) * 1000), resolution_(resolutionMs),
          callback_(callback), user_(user), stats_(stats) {}

    // Returns false when the multimedia timer refused (then nothing is left raised).
    bool start(std::uint32_t periodMs) {
        timeBeginPeriod(resolution_);
        start_ = Clock::now();
        // TIME_KILL_SYNCHRONOUS: no expiry begins once timeKillEvent has returned.
        id_ = timeSetEvent(periodMs, resolution_, &PeriodicTimerImpl::expiry,
                           reinterpret_cast<DWORD_PTR>(this),
                           TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
        if (id_ == 0) {
            timeEndPeriod(resolution_);
        }
        return id_ != 0;
    }

    bool onOwnThread() const noexcept {
        return inside_.load() && expiryThread_.load() == GetCurrentThreadId();
    }

    // Returns once no expiry runs any more and none will come. Called from this timer's
    // own expiry it only ends further expiries, and the expiry frees the timer when it
    // returns: the caller must then let go of it.
    void stop(bool fromOwnExpiry) {
        killed_.store(true);
        timeKillEvent(id_);
        timeEndPeriod(resolution_);
        if (fromOwnExpiry) {
            freeOnReturn_.store(true);
            return;
        }
        // timeKillEvent already waits for a running expiry; this makes it so whatever the
        // service's own word is. Either the expiry sees `killed_`, or this sees `inside_`.
        while (inside_.load()) {
            Sleep(1);
        }
    }

private:
    static void CALLBACK expiry(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
        auto* self = reinterpret_cast<PeriodicTimerImpl*>(user);
        timerThread = true;
        self->expiryThread_.store(GetCurrentThreadId(), std::memory_order_relaxed);
        self->inside_.store(true);
        if (!self->killed_.load() && self->due()) {
            self->stats_.record((self->microsSinceStart() - self->played_ * self->periodMicros_) *
                                1000);
            self->callback_(self->user_);
        }
        const bool freeNow = self->freeOnReturn_.load();
        self->inside_.store(false);
        if (freeNow) {
            delete self;
        }
    }

    long long microsSinceStart() const noexcept {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
    }

    // Whether this expiry plays a step. The service fires once for every slot of its
    // schedule (start + n x period), so the n-th expiry is slot n's even when it comes
    // late. A slot more than the stall limit late is played at once as the last slot
    // already due, and the slots in between are dropped: their expiries, which the
    // service then fires back to back to catch up, play nothing.
    bool due() noexcept {
        const long long slot = ++fired_;
        if (slot <= played_) {
            return false;
        }
        const long long now = microsSinceStart();
        const long long late = now - slot * periodMicros_;
        if (late >= std::max(periodMicros_, kDropLateAfterMicros)) {
            played_ = now / periodMicros_;
            return true;
        }
        played_ = slot;
        // The service counts whole milliseconds from the tick it read at the start, so an
        // expiry may come up to a millisecond before its slot: it waits for the slot, and
        // no step plays early.
        const long long waitUntil = std::min(slot * periodMicros_, now + kLongestEarlyMicros);
        while (microsSinceStart() < waitUntil) {
            SwitchToThread();
        }
        return true;
    }

    const long long periodMicros_;
    const UINT resolution_;
    const TimerCallbackFn callback_;
    void* const user_;
    TimerStats& stats_;
    Clock::time_point start_{};
    MMRESULT id_ = 0;
    // Written by expiries only, one after another.
    long long fired_ = 0;  // expiries the service fired: the slot of the latest
    long long played_ = 0; // the last slot played or dropped
    std::atomic<bool> killed_{false};
    std::atomic<bool> inside_{false};
    std::atomic<bool> freeOnReturn_{false};
    std::atomic<DWORD> expiryThread_{0};
};

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

TimerCaps TimerService::caps() const noexcept {
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) {
        return {};
    }
    return {caps.wPeriodMin, caps.wPeriodMax};
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
        // In the map before it runs: nothing can throw once expiries may come.
        const auto it = timers_
                            .emplace(id, std::make_unique<PeriodicTimerImpl>(
                                             periodMs, resolution, callback, user, stats_))
                            .first;
        if (!it->second->start(periodMs)) {
            timers_.erase(it);
            return 0;
        }
    } catch (...) {
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
        timer.release(); // the expiry frees it as it returns
    }
}

bool TimerService::isRunning(std::uint32_t id) const {
    std::lock_guard lock(mutex_);
    return timers_.count(id) != 0;
}

} // namespace tambrel::platform
