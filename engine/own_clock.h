#pragma once
// Tambrel's own source of time: the periodic timer at the whole-millisecond step period
// (timeline.h). Step n is due n periods after Play, on the timer's absolute schedule.

#include "timeline.h"

#include "platform/periodic_timer.h"

#include <cstdint>

namespace tambrel::engine {

class OwnClockTimeline final : public Timeline {
public:
    explicit OwnClockTimeline(platform::TimerService& timers) noexcept : timers_(timers) {}
    ~OwnClockTimeline() override { stop(); }
    OwnClockTimeline(const OwnClockTimeline&) = delete;
    OwnClockTimeline& operator=(const OwnClockTimeline&) = delete;

    // A second start while running (only possible from code) first stops the running timer,
    // so that no orphaned timer is left that nothing can stop.
    [[nodiscard]] bool start(std::uint32_t periodMs, StepFn step, void* user) noexcept override;
    void stop() noexcept override;
    bool running() const noexcept override { return timerId_ != 0; }

    // The running timer's identifier; 0 when stopped. Spent once stopped: a later stop
    // ends nothing.
    std::uint32_t timerId() const noexcept { return timerId_; }

private:
    static void onExpiry(void* self, platform::TimerClock::time_point due) noexcept;

    platform::TimerService& timers_;
    // Written on the window's thread before the timer starts, read by its expiries.
    StepFn step_ = nullptr;
    void* user_ = nullptr;
    std::uint32_t timerId_ = 0;
};

} // namespace tambrel::engine
