#pragma once
// What TimerService asks of each platform's timer: periodic_timer.cpp (a thread of our own)
// on Linux, win/periodic_timer.cpp (the multimedia timer) on Windows. The service's own
// bookkeeping, the same on both, is timer_service.cpp.

#include "platform/periodic_timer.h"

#include <cstdint>
#include <memory>

namespace tambrel::platform {

// One running periodic timer.
class PeriodicTimerImpl {
public:
    virtual ~PeriodicTimerImpl() = default;
    // Whether the calling thread is inside one of this timer's expiries.
    virtual bool onOwnThread() const noexcept = 0;
    // Returns once no expiry runs any more and none will come. From the timer's own expiry
    // (`fromOwnExpiry`) it only ends further expiries: that expiry still runs, so the
    // caller must then let go of the timer without deleting it.
    virtual void stop(bool fromOwnExpiry) noexcept = 0;
    // Asks the schedule again at once (TimerSchedule) rather than at the deadline it last
    // gave: a timer that keeps only its period ignores it.
    virtual void wake() noexcept {}
};

// Starts the platform's timer, its first expiry one period from now (or when `schedule`
// says), each expiry counted in `stats`. `resolutionMs` is within caps(). Returns nullptr when the
// platform refused, and throws when there was no memory or thread for it (then nothing runs).
std::unique_ptr<PeriodicTimerImpl>
startPeriodicTimer(std::uint32_t periodMs, std::uint32_t resolutionMs, TimerCallbackFn callback,
                   void* user, TimerStats& stats, TimerSchedule schedule = {});

} // namespace tambrel::platform
