#include "midi_clock_out.h"

#include <cmath>

namespace tambrel::engine {

using midiout::TimedMessage;

void MidiClockOut::setSink(ClockSink* sink, bool whileStopped) noexcept {
    endIdle();
    sink_.store(sink, std::memory_order_release);
    whileStopped_ = sink != nullptr && whileStopped;
    idle_.setPace(pace());
}

namespace {

// Where a step's clock messages go. With a frame clock, on frames from one reading of it,
// each its share of the step in frames after the step's first: the clocks of a step keep
// their spacing to the frame even when the server's clock estimate moves while the step's
// messages are sent. Otherwise (or before a start's release) at their moments.
class StepPlacer {
public:
    StepPlacer(ClockSink& sink, StepMoment due, std::chrono::nanoseconds length) noexcept
        : sink_(sink), frames_(sink.frameClock()) {
        if (frames_ != nullptr && !midiout::awaitsRelease(due)) {
            first_ = frames_->frameAt(due);
            stepFrames_ = static_cast<double>(length.count()) * frames_->sampleRate() / 1e9;
        } else {
            frames_ = nullptr;
        }
    }
    bool onFrames() const noexcept { return frames_ != nullptr; }
    // The frame `share` of `shares` of the step after its start.
    std::uint32_t frameAt(int share, int shares) const noexcept {
        return first_ + static_cast<std::uint32_t>(std::llround(stepFrames_ * share / shares));
    }
    void send(const TimedMessage& message, int share, int shares) const noexcept {
        if (frames_ != nullptr) {
            sink_.sendClockAt(message, frameAt(share, shares));
        } else {
            sink_.sendClock(message);
        }
    }

private:
    ClockSink& sink_;
    const midiout::FrameClock* frames_;
    std::uint32_t first_ = 0;
    double stepFrames_ = 0;
};

} // namespace

void MidiClockOut::sendClocks(ClockSink& sink, StepMoment due, std::chrono::nanoseconds length,
                              int clocks) noexcept {
    const StepPlacer placer(sink, due, length);
    // After a change of the idle clock's period, or from the idle clock to Play, the clocks
    // still queued may reach past the new ones' first: they are not sent twice or backwards.
    StepMoment::rep last = lastClock_.load(std::memory_order_relaxed);
    for (int c = 0; c < clocks; ++c) {
        const StepMoment moment = clockMoment(due, length, clocks, c);
        if (moment.time_since_epoch().count() <= last) {
            continue;
        }
        placer.send(TimedMessage::realTime(midiout::kTimingClock, moment), c, clocks);
        last = moment.time_since_epoch().count();
    }
    lastClock_.store(last, std::memory_order_relaxed);
}

void MidiClockOut::step(StepMoment due, std::chrono::nanoseconds length, int clocks,
                        bool first) noexcept {
    ClockSink* sink = sink_.load(std::memory_order_acquire);
    if (sink == nullptr) {
        return;
    }
    const StepPlacer placer(*sink, due, length);
    if (first) {
        placer.send(TimedMessage::songPosition(0, due), 0, 1);
        placer.send(TimedMessage::realTime(midiout::kStart, due), 0, 1);
        started_.store(true, std::memory_order_release);
    }
    sendClocks(*sink, due, length, clocks);
    lastDue_.store(due.time_since_epoch().count(), std::memory_order_release);
    lastLengthNanos_.store(length.count(), std::memory_order_release);
    if (placer.onFrames()) {
        stopFrame_.store(placer.frameAt(1, 1), std::memory_order_release);
    }
    stopFrameKnown_.store(placer.onFrames(), std::memory_order_release);
}

void MidiClockOut::stopped() noexcept {
    ClockSink* sink = sink_.load(std::memory_order_acquire);
    if (sink == nullptr || !started_.exchange(false, std::memory_order_acq_rel)) {
        return;
    }
    const StepMoment last{StepMoment::duration(lastDue_.load(std::memory_order_acquire))};
    const std::chrono::nanoseconds length{lastLengthNanos_.load(std::memory_order_acquire)};
    const TimedMessage stop = TimedMessage::realTime(midiout::kStop, last + length);
    if (stopFrameKnown_.load(std::memory_order_acquire)) {
        sink->sendClockAt(stop, stopFrame_.load(std::memory_order_acquire));
    } else {
        sink->sendClock(stop);
    }
}

void MidiClockOut::idle(std::uint32_t periodMs, int clocks) noexcept {
    if (!whileStopped_) {
        return;
    }
    if (idle_.running() && idlePeriodMs_ == periodMs && idleClocks_ == clocks) {
        return;
    }
    endIdle();
    idlePeriodMs_ = periodMs;
    idleClocks_ = clocks;
    (void)idle_.start(periodMs, &MidiClockOut::idleStep, this);
}

void MidiClockOut::idleStep(void* self, const TimelineStep& step) noexcept {
    auto* out = static_cast<MidiClockOut*>(self);
    if (ClockSink* sink = out->sink_.load(std::memory_order_acquire)) {
        out->sendClocks(*sink, step.due, std::chrono::milliseconds(out->idlePeriodMs_),
                        out->idleClocks_);
    }
}

} // namespace tambrel::engine
