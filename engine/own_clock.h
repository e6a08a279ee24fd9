#pragma once
// Tambrel's own source of time: the periodic timer at the whole-millisecond step period
// (timeline.h). Step n is due n periods after Play, on the timer's absolute schedule.
//
// Paced by an audio server's frame clock (while MIDI clock goes out through it), a period
// is counted in the server's frames instead: step n is due at the moment of the frame n
// periods of frames after Play's, rounded once from the start (never summed), so that the
// steps and the clocks between them never drift from the frames a receiver counts,
// whatever the server's frames do against the machine's clock. Where the platform's timer
// cannot follow another clock (Windows), the machine's clock paces it as ever.

#include "timeline.h"

#include "midiout/frame_clock.h"
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

    // While stopped: the frame clock that paces the next runs (nullptr: the machine's).
    void setPace(const midiout::FrameClock* pace) noexcept { pace_ = pace; }

    // While running, on the window's thread: the moment step n (1, 2, ...) of this run is
    // due, as its step will be handed it. Paced, to the frame; otherwise to within the
    // moment the timer took for its start (microseconds).
    StepMoment dueOf(std::int64_t n) const noexcept;

    // The running timer's identifier; 0 when stopped. Spent once stopped: a later stop
    // ends nothing.
    std::uint32_t timerId() const noexcept { return timerId_; }

private:
    static void onExpiry(void* self, platform::TimerClock::time_point due) noexcept;
    static platform::TimerClock::time_point paced(void* self, std::int64_t n) noexcept;
    StepMoment pacedDue(std::int64_t n) const noexcept;

    platform::TimerService& timers_;
    // Written on the window's thread before the timer starts, read by its expiries.
    StepFn step_ = nullptr;
    void* user_ = nullptr;
    std::uint32_t timerId_ = 0;
    const midiout::FrameClock* pace_ = nullptr;
    // The paced run's frame at Play and its period in frames (set before the timer starts).
    std::uint32_t startFrame_ = 0;
    double periodFrames_ = 0;
    // The moment of the start and the period of the run in force (unpaced).
    StepMoment startedAt_{};
    std::uint32_t periodMs_ = 0;
    bool pacedRun_ = false;
};

} // namespace tambrel::engine
