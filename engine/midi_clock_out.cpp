#include "midi_clock_out.h"

namespace tambrel::engine {

using midiout::TimedMessage;

void MidiClockOut::setSink(ClockSink* sink, bool whileStopped) noexcept {
    endIdle();
    sink_.store(sink, std::memory_order_release);
    whileStopped_ = sink != nullptr && whileStopped;
    idle_.setPace(pace());
}

void MidiClockOut::sendClocks(ClockSink& sink, StepMoment due, std::chrono::nanoseconds length,
                              int clocks) noexcept {
    // After a change of the idle clock's period, or from the idle clock to Play, the clocks
    // still queued may reach past the new ones' first: they are not sent twice or backwards.
    StepMoment::rep last = lastClock_.load(std::memory_order_relaxed);
    for (int c = 0; c < clocks; ++c) {
        const StepMoment moment = clockMoment(due, length, clocks, c);
        if (moment.time_since_epoch().count() <= last) {
            continue;
        }
        sink.sendClock(TimedMessage::realTime(midiout::kTimingClock, moment));
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
    if (first) {
        sink->sendClock(TimedMessage::songPosition(0, due));
        sink->sendClock(TimedMessage::realTime(midiout::kStart, due));
        started_.store(true, std::memory_order_release);
    }
    sendClocks(*sink, due, length, clocks);
    lastDue_.store(due.time_since_epoch().count(), std::memory_order_release);
    lastLengthNanos_.store(length.count(), std::memory_order_release);
}

void MidiClockOut::stopped() noexcept {
    ClockSink* sink = sink_.load(std::memory_order_acquire);
    if (sink == nullptr || !started_.exchange(false, std::memory_order_acq_rel)) {
        return;
    }
    const StepMoment last{StepMoment::duration(lastDue_.load(std::memory_order_acquire))};
    const std::chrono::nanoseconds length{lastLengthNanos_.load(std::memory_order_acquire)};
    sink->sendClock(TimedMessage::realTime(midiout::kStop, last + length));
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
