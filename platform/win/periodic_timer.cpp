// The step clock's timers on Windows: the multimedia timer (timeSetEvent, TIME_PERIODIC),
// with the resolution raised by timeBeginPeriod for as long as a timer runs.
//
// The multimedia timer keeps its own absolute schedule and, after a stall, fires every
// expiry it missed back to back until it has caught up (measured under Wine: 21 in a row
// after a 100 ms stall at 5 ms). A burst of late steps is exactly what the Linux timer
// refuses to play, so each expiry is checked against the schedule here and the overrun
// ones are dropped the same way.

#include "platform/periodic_timer_impl.h"

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

// Where a timer's schedule starts. The service counts whole milliseconds of timeGetTime()
// from the one in which the timer was set, and fires each expiry as its millisecond
// begins. Where that count is the performance counter's in milliseconds (as under Wine),
// the schedule starts where the current millisecond began, so that the slots are the
// service's own and each expiry comes on or after its slot. Where the count follows the
// clock interrupt instead, the schedule starts now, and an expiry may come before its slot.
Clock::time_point serviceMillisecondStart() noexcept {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    const DWORD count = timeGetTime();
    const Clock::time_point now = Clock::now();
    QueryPerformanceCounter(&counter);
    const long long hz = frequency.QuadPart;
    const long long scaled = counter.QuadPart * 1000;
    if (hz <= 0 || timeGetTime() != count || static_cast<DWORD>(scaled / hz) != count) {
        return now;
    }
    // Read after `now`: the start is at or just before the millisecond's beginning.
    return now - std::chrono::nanoseconds((scaled % hz) * 1'000'000 / hz);
}

} // namespace

bool raiseTimerThreadPriority() noexcept {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

namespace {

class MultimediaTimer final : public PeriodicTimerImpl {
public:
    MultimediaTimer(std::uint32_t periodMs, std::uint32_t resolutionMs, TimerCallbackFn callback,
                    void* user, TimerStats& stats)
        : periodMicros_(static_cast<long long>(periodMs) * 1000), resolution_(resolutionMs),
          callback_(callback), user_(user), stats_(stats) {}

    // Returns false when the multimedia timer refused (then nothing is left raised).
    bool start(std::uint32_t periodMs) {
        timeBeginPeriod(resolution_);
        // Should a millisecond begin before the service reads its count, the expiries come a
        // millisecond after their slots: late, never early.
        start_ = serviceMillisecondStart();
        // TIME_KILL_SYNCHRONOUS: no expiry begins once timeKillEvent has returned.
        id_ = timeSetEvent(periodMs, resolution_, &MultimediaTimer::expiry,
                           reinterpret_cast<DWORD_PTR>(this),
                           TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
        if (id_ == 0) {
            timeEndPeriod(resolution_);
        }
        return id_ != 0;
    }

    bool onOwnThread() const noexcept override {
        return inside_.load() && expiryThread_.load() == GetCurrentThreadId();
    }

    // Called from this timer's own expiry, the expiry frees the timer when it returns.
    void stop(bool fromOwnExpiry) noexcept override {
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
        auto* self = reinterpret_cast<MultimediaTimer*>(user);
        self->expiryThread_.store(GetCurrentThreadId(), std::memory_order_relaxed);
        self->inside_.store(true);
        if (!self->killed_.load() && self->due()) {
            self->stats_.record((self->microsSinceStart() - self->played_ * self->periodMicros_) *
                                1000);
            self->callback_(self->user_, self->start_ + std::chrono::microseconds(
                                                            self->played_ * self->periodMicros_));
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
        // Where the service's count is not the steady clock's, an expiry may come up to a
        // millisecond before its slot: it waits for the slot, and no step plays early. It
        // spins: giving the processor away (SwitchToThread) hands it to any busy thread for
        // the rest of that thread's time slice, milliseconds for a wait of less than one.
        const long long waitUntil = std::min(slot * periodMicros_, now + kLongestEarlyMicros);
        while (microsSinceStart() < waitUntil) {
            YieldProcessor();
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

} // namespace

std::unique_ptr<PeriodicTimerImpl> startPeriodicTimer(std::uint32_t periodMs,
                                                      std::uint32_t resolutionMs,
                                                      TimerCallbackFn callback, void* user,
                                                      TimerStats& stats, TimerSchedule schedule) {
    if (schedule.at != nullptr) {
        return nullptr; // the multimedia timer keeps its own period only
    }
    auto timer = std::make_unique<MultimediaTimer>(periodMs, resolutionMs, callback, user, stats);
    if (!timer->start(periodMs)) {
        return nullptr;
    }
    return timer;
}

TimerCaps TimerService::caps() const noexcept {
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) {
        return {};
    }
    return {caps.wPeriodMin, caps.wPeriodMax};
}

} // namespace tambrel::platform
