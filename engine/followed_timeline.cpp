#include "followed_timeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace tambrel::engine {

namespace {

using std::chrono::nanoseconds;

// How late a step may still be handed over and heard on its frame: within the output's
// allowance for a step clock that woke late (25 ms through JACK), with room to spare.
constexpr nanoseconds kReach = std::chrono::milliseconds(20);
// How early a step is handed over: the output holds it until its frame.
constexpr nanoseconds kEarly = std::chrono::milliseconds(FollowedTimeline::kPollMs);

// The frame step s falls on, from the anchor (wrapping as the server's frames do).
std::uint32_t frameOf(const FollowedGrid& grid, std::int64_t step) noexcept {
    const double steps = static_cast<double>(step - grid.anchorStep);
    return grid.anchorFrame + static_cast<std::uint32_t>(std::llround(steps * grid.framesPerStep));
}

nanoseconds framesToNanos(double frames, std::uint32_t rate) noexcept {
    return nanoseconds(std::llround(frames * 1e9 / static_cast<double>(rate)));
}

} // namespace

bool FollowedTimeline::start(std::uint32_t /*periodMs*/, StepFn step, void* user) noexcept {
    stop();
    if (source_ == nullptr) {
        return false;
    }
    attach(step, user);
    const auto first = platform::TimerClock::now() + std::chrono::milliseconds(kPollMs);
    nextPoll_.store(first.time_since_epoch().count(), std::memory_order_relaxed);
    std::uint32_t id =
        timers_.start(kPollMs, &FollowedTimeline::onPoll, this, {&FollowedTimeline::pollAt, this});
    if (id == 0) {
        // A platform whose timer keeps only its period: every poll, still or not.
        id = timers_.start(kPollMs, &FollowedTimeline::onPoll, this);
    }
    timerId_.store(id, std::memory_order_relaxed);
    if (id != 0) {
        listening_ =
            source_->listen(midiout::Listener::StepClock, {&FollowedTimeline::lookNow, this});
    }
    return id != 0;
}

void FollowedTimeline::attach(StepFn step, void* user) noexcept {
    step_ = step;
    user_ = user;
    rolling_ = false;
    heldSent_ = false;
}

void FollowedTimeline::stop() noexcept {
    if (listening_) {
        // Before the timer goes: no listener call wakes a timer that is being killed.
        (void)source_->listen(midiout::Listener::StepClock, {});
        listening_ = false;
    }
    if (const std::uint32_t id = timerId_.exchange(0, std::memory_order_relaxed); id != 0) {
        timers_.kill(id);
    }
}

void FollowedTimeline::lookNow(void* self) noexcept {
    auto* timeline = static_cast<FollowedTimeline*>(self);
    timeline->nextPoll_.store(platform::TimerClock::now().time_since_epoch().count(),
                              std::memory_order_relaxed);
    timeline->timers_.wake(timeline->timerId_.load(std::memory_order_relaxed));
}

void FollowedTimeline::onPoll(void* self, platform::TimerClock::time_point due) noexcept {
    auto* timeline = static_cast<FollowedTimeline*>(self);
    std::int64_t asked = timeline->nextPoll_.load(std::memory_order_relaxed);
    timeline->poll(TimelineClock::now());
    // A still source that asks for fewer looks gets them (stillLookMs): the timer's thread
    // then sleeps that long, rather than waking every few milliseconds for nothing.
    const std::uint32_t still = timeline->rolling_ ? 0 : timeline->source_->stillLookMs();
    const auto next = due + std::chrono::milliseconds(std::max(kPollMs, still));
    // A look asked for during this one (lookNow) may have come after the source was read:
    // it stays asked for.
    (void)timeline->nextPoll_.compare_exchange_strong(asked, next.time_since_epoch().count(),
                                                      std::memory_order_relaxed);
}

platform::TimerClock::time_point FollowedTimeline::pollAt(void* self, std::int64_t) noexcept {
    const auto* timeline = static_cast<const FollowedTimeline*>(self);
    return platform::TimerClock::time_point(
        platform::TimerClock::duration(timeline->nextPoll_.load(std::memory_order_relaxed)));
}

std::int64_t FollowedTimeline::firstInReach(const FollowedGrid& grid,
                                            StepMoment now) const noexcept {
    if (grid.awaitingRelease || grid.framesPerStep <= 0) {
        return grid.anchorStep;
    }
    const midiout::FrameClock& frames = source_->frames();
    // The earliest frame a step may still be heard on: its moment less the delay no further
    // back than the reach.
    const auto reachFrames = static_cast<std::int64_t>(
        std::llround(static_cast<double>(kReach.count()) * frames.sampleRate() / 1e9));
    const std::uint32_t earliest =
        frames.frameAt(now) + static_cast<std::uint32_t>(source_->delayFrames() - reachFrames);
    const auto ahead = static_cast<std::int32_t>(earliest - grid.anchorFrame);
    if (ahead <= 0) {
        return grid.anchorStep;
    }
    return grid.anchorStep +
           static_cast<std::int64_t>(std::ceil(static_cast<double>(ahead) / grid.framesPerStep));
}

void FollowedTimeline::handOver(const FollowedGrid& grid, std::int64_t step,
                                StepMoment due) noexcept {
    const int perBar = stepsPerBar_.load(std::memory_order_relaxed);
    const auto inBar = static_cast<int>(((step % perBar) + perBar) % perBar) + 1;
    const nanoseconds length = framesToNanos(grid.framesPerStep, source_->frames().sampleRate());
    step_(user_, TimelineStep{due, inBar, length, startOfRun_});
    startOfRun_ = false;
}

void FollowedTimeline::poll(StepMoment now) noexcept {
    source_->look(now);
    const FollowedGrid grid = source_->grid();
    if (!grid.rolling || grid.framesPerStep <= 0) {
        rolling_ = false;
        return;
    }
    if (!rolling_ || grid.epoch != epoch_) {
        startOfRun_ = !rolling_;
        rolling_ = true;
        epoch_ = grid.epoch;
        heldSent_ = false;
        next_.store(firstInReach(grid, now), std::memory_order_relaxed);
    }
    std::int64_t next = next_.load(std::memory_order_relaxed);
    const midiout::FrameClock& frames = source_->frames();
    if (grid.awaitingRelease) {
        // Only the start's first step goes ahead of the release; the rest follow the frame
        // the transport really rolls from.
        if (!heldSent_) {
            // Frames from the release: while the start awaits it, the grid counts from there
            // (a start from between two steps has its first step a little after it).
            const auto offset = static_cast<std::int32_t>(frameOf(grid, next));
            handOver(grid, next,
                     midiout::releaseMoment(framesToNanos(offset, frames.sampleRate())));
            heldSent_ = true;
            next_.store(next + 1, std::memory_order_relaxed);
            source_->prepared(grid.epoch);
        }
        return;
    }
    const auto delay = static_cast<std::uint32_t>(source_->delayFrames());
    // A few steps at most in one look: a grid that claims many more is wrong, not late.
    for (int handed = 0; handed < 4; ++handed, ++next) {
        const StepMoment due = frames.momentOf(frameOf(grid, next) - delay);
        if (due > now + kEarly) {
            break;
        }
        if (due >= now - kReach) {
            handOver(grid, next, due);
        }
    }
    next_.store(next, std::memory_order_relaxed);
}

} // namespace tambrel::engine
