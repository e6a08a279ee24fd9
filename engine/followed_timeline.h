#pragma once
// The step clock's side of a followed source of time (midiout/followed_time.h): a timer thread of
// its own that looks at the source's grid every few milliseconds, for as long as
// Tambrel follows, and hands over each step a little ahead of the frame it falls on.
//
// Step s of the followed song falls on frame F(s) = anchor frame + (s - anchor step) x
// frames per step, rounded once from the anchor (never summed, so a long run never
// drifts from the other program's frames). The output plays a message a fixed number of
// frames after its moment, so the step is handed the moment of F(s) less that delay: its
// notes are heard on F(s) itself, however late this thread woke, within the output's
// wake-up allowance. A step this thread reaches later than that (the machine stalled) is
// dropped rather than played late as a burst.
//
// A new epoch (a start, a relocate, a Continue) starts anew from the first step still in
// reach; a new tempo alone is heard from the next step. A start that awaits its release
// gets its first step ahead, with a moment counted from the release, and the source is
// told it is prepared.
//
// It runs from start() to stop() whether or not the other program rolls: a start must not
// wait for the window's thread to notice it. running() is whether it polls. A still source
// that tells of its changes (FollowedSource::listen) is polled at once when it does.

#include "midiout/followed_time.h"
#include "timeline.h"

#include "platform/periodic_timer.h"

#include <atomic>
#include <cstdint>

namespace tambrel::engine {

using midiout::FollowedGrid;
using midiout::FollowedSource;

class FollowedTimeline final : public Timeline {
public:
    // How often the grid is looked at: well within the output's allowance for a step handed
    // over late, and seldom enough to cost next to nothing while the other program is still.
    static constexpr std::uint32_t kPollMs = 5;

    explicit FollowedTimeline(platform::TimerService& timers) noexcept : timers_(timers) {}
    ~FollowedTimeline() override { stop(); }
    FollowedTimeline(const FollowedTimeline&) = delete;
    FollowedTimeline& operator=(const FollowedTimeline&) = delete;

    // While stopped: the source followed (nullptr: none; start then fails).
    void setSource(FollowedSource* source) noexcept { source_ = source; }
    FollowedSource* source() const noexcept { return source_; }
    // Any time: the steps in Tambrel's bar, by which a step of the song is a step of the bar.
    void setStepsPerBar(int steps) noexcept { stepsPerBar_.store(steps > 0 ? steps : 16); }

    // `periodMs` is not used: the source times the steps.
    [[nodiscard]] bool start(std::uint32_t periodMs, StepFn step, void* user) noexcept override;
    void stop() noexcept override;
    bool running() const noexcept override { return timerId_.load(std::memory_order_relaxed) != 0; }

    // Poll thread's state, for the tests: the step that comes next and whether the source
    // rolled at the last look.
    std::int64_t nextStep() const noexcept { return next_.load(std::memory_order_relaxed); }

    // Without the timer (the tests): steps go to `step` from each poll() made by hand.
    void attach(StepFn step, void* user) noexcept;
    // One look at the grid at `now`, on the poll thread (or by hand after attach). The timer
    // polls less often while the source is still, as its stillLookMs asks.
    void poll(StepMoment now) noexcept;

private:
    static void onPoll(void* self, platform::TimerClock::time_point due) noexcept;
    static platform::TimerClock::time_point pollAt(void* self, std::int64_t n) noexcept;
    // The source's listener (any thread but the poll's): a still source changed, and the
    // next poll is now rather than after its still looks' pause.
    static void lookNow(void* self) noexcept;
    // The first step of a new epoch that can still be heard on its frame.
    std::int64_t firstInReach(const FollowedGrid& grid, StepMoment now) const noexcept;
    void handOver(const FollowedGrid& grid, std::int64_t step, StepMoment due) noexcept;

    platform::TimerService& timers_;
    FollowedSource* source_ = nullptr;
    StepFn step_ = nullptr;
    void* user_ = nullptr;
    std::atomic<std::uint32_t> timerId_{0};
    bool listening_ = false; // the source tells of its changes (window's thread)
    std::atomic<int> stepsPerBar_{16};
    // The poll thread's own (the window's thread resets them before the timer starts).
    std::uint32_t epoch_ = 0;
    bool rolling_ = false;
    // When the timer's next poll is due, on its clock (nanoseconds since its epoch).
    std::atomic<std::int64_t> nextPoll_{0};
    bool startOfRun_ = false;
    bool heldSent_ = false;
    std::atomic<std::int64_t> next_{0};
};

} // namespace tambrel::engine
