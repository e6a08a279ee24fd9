#pragma once
// MIDI clock out: the step clock's time told to other gear (a DAW, a looper, a hardware
// sequencer), as the MIDI standard counts it: 24 clocks a quarter note, Song Position
// Pointer 0 and Start before the first step's first clock, Stop where the next step would
// have been.
//
// Every clock is a message stamped with its own moment on the step clock's timeline: the
// step's due moment plus its share of the step, computed from the step's moment each time
// (never by adding up rounded intervals), so that a back end that places messages at their
// moment (JACK) sends the clocks as evenly as the notes and never drifts from them. A step
// sends its clocks ahead, at the step's tick, so a clock output must hold a message until
// its moment up to a whole step (kMostAhead).
//
// The tempo a receiver reads is the one Tambrel really plays: the whole-millisecond step
// period, which at 97 in 4/4 (154 ms a sixteenth) is 97.40 quarter notes a minute. In 12/8,
// whose tempo counts dotted quarters, a receiver shows 1.5 times Tambrel's tempo.

#include "own_clock.h"
#include "time_signature.h"
#include "timeline.h"

#include "midiout/clock_sink.h"
#include "midiout/timed_message.h"
#include "platform/periodic_timer.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace tambrel::engine {

inline constexpr int kClocksPerQuarter = 24;

// A step is a sixteenth in 4/4, a triplet eighth in 3/4 and an eighth in 12/8 and 6/8: a
// whole number of clocks, so every step starts on a clock.
constexpr int clocksPerStep(TimeSig sig) noexcept {
    switch (sig) {
    case TimeSig::FourFour:
        return kClocksPerQuarter / 4;
    case TimeSig::ThreeFour:
        return kClocksPerQuarter / 3;
    case TimeSig::TwelveEight:
    case TimeSig::SixEight:
        return kClocksPerQuarter / 2;
    }
    return kClocksPerQuarter / 4;
}

// The moment of clock `clock` (0-based) of a step due at `due` that lasts `length`
// with `clocks` clocks: from the step's own moment, to the nanosecond.
constexpr StepMoment clockMoment(StepMoment due, std::chrono::nanoseconds length, int clocks,
                                 int clock) noexcept {
    return due + std::chrono::nanoseconds((length.count() * clock + clocks / 2) / clocks);
}
constexpr StepMoment clockMoment(StepMoment due, std::uint32_t periodMs, int clocks,
                                 int clock) noexcept {
    return clockMoment(due, std::chrono::milliseconds(periodMs), clocks, clock);
}

using midiout::ClockSink;

class MidiClockOut {
public:
    explicit MidiClockOut(platform::TimerService& timers) noexcept : idle_(timers) {}
    ~MidiClockOut() { endIdle(); }
    MidiClockOut(const MidiClockOut&) = delete;
    MidiClockOut& operator=(const MidiClockOut&) = delete;

    // Window's thread, while the step clock is stopped. nullptr: no clock goes out. With
    // `whileStopped`, clocks keep running while the step clock is stopped (idle), so that
    // a receiver shows the tempo.
    void setSink(ClockSink* sink, bool whileStopped) noexcept;
    bool active() const noexcept { return sink_.load(std::memory_order_acquire) != nullptr; }

    // Step clock's thread, after the step's notes: the step's clocks; the first step after
    // Play sends Song Position Pointer 0 and Start before its first clock.
    void step(StepMoment due, std::chrono::nanoseconds length, int clocks, bool first) noexcept;
    // Window's thread, once the step clock has stopped: Stop on the moment the next step
    // would have been due. Nothing when no Start went out since the last Stop.
    void stopped() noexcept;

    // Window's thread, while the step clock is stopped: with `whileStopped`, clocks run at
    // this step period and count (anew when they change); otherwise nothing.
    void idle(std::uint32_t periodMs, int clocks) noexcept;
    // Window's thread, while the step clock is stopped: a lost sink's reconnect(), with the
    // idle clocks ended around it; they run on after it in resumeAfterSwitch.
    void reconnect() noexcept {
        if (ClockSink* sink = sink_.load(std::memory_order_acquire); sink && sink->lost()) {
            endIdle();
            if (sink->reconnect()) {
                idle_.setPace(pace());
            }
        }
    }
    // Window's thread: the idle clocks end (at Play); returns once none runs.
    void endIdle() noexcept { idle_.stop(); }
    bool idling() const noexcept { return idle_.running(); }
    // The frame clock of the sink in force, which paces the step clock and the idle clocks.
    const midiout::FrameClock* pace() const noexcept {
        const ClockSink* sink = sink_.load(std::memory_order_acquire);
        return sink != nullptr ? sink->frameClock() : nullptr;
    }

private:
    static void idleStep(void* self, const TimelineStep& step) noexcept;
    void sendClocks(ClockSink& sink, StepMoment due, std::chrono::nanoseconds length,
                    int clocks) noexcept;

    std::atomic<ClockSink*> sink_{nullptr};
    bool whileStopped_ = false; // window's thread
    OwnClockTimeline idle_;
    // Written before the idle clock starts, read by its steps.
    std::uint32_t idlePeriodMs_ = 0;
    int idleClocks_ = 0;
    // The last step played since Start (step clock's thread; read at Stop, after it ended).
    std::atomic<bool> started_{false};
    std::atomic<StepMoment::rep> lastDue_{0};
    std::atomic<std::int64_t> lastLengthNanos_{0};
    // With a frame clock: the frame the Stop goes on, read with the last step's stamps (a
    // reading at Stop, on another thread, may find the server's clock moved since).
    std::atomic<bool> stopFrameKnown_{false};
    std::atomic<std::uint32_t> stopFrame_{0};
    // The latest clock's moment: the threads that send clocks take turns.
    std::atomic<StepMoment::rep> lastClock_{0};
};

} // namespace tambrel::engine
