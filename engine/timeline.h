#pragma once
// Where the step clock's steps come from in time.
//
// A timeline hands the step clock its steps: once per step, in order, never two at once, on
// a thread of the timeline's own, with the moment that step is due. The step clock then does
// what it always does with a step (reads the pattern, builds the step string, sends one note
// per sounding track) and stamps every message with that moment, so that the back ends place
// the notes on the timeline's grid however late the thread woke. The tick's contract holds
// for every timeline: the thread that calls a step reads only atomics, and never locks,
// allocates or waits.
//
// Tambrel's own clock (OwnClockTimeline) is the periodic timer at the whole-millisecond
// step period: step n is due n periods after Play, a running clock keeps the period it was
// started with (a tempo change is heard from the next Play), and stop returns only once no
// step runs any more.
//
// The sources of time that follow another program (midiout/followed_time.h: a JACK transport, an
// incoming MIDI clock) fit the same shape: their timeline wakes a step's thread ahead of
// the step's frame, as the own clock's timer does, and hands over the moment it computed
// from the other program's position, not the moment it woke. Their steps last what the
// other program's tempo says (not a whole number of milliseconds), and they say which
// step of the bar they are, as a relocate or a Continue may land anywhere in it.
// One source of time at a time: the machine chooses the timeline while the clock stops.

#include "midiout/timed_message.h"

#include <chrono>
#include <cstdint>

namespace tambrel::engine {

// The moments a timeline hands out are the ones the messages carry.
using TimelineClock = midiout::MidiClock;
using StepMoment = midiout::Moment;

// One step, as a timeline hands it to the step clock.
struct TimelineStep {
    StepMoment due{}; // the moment the step is due: every message of the step carries it
    // The step of the bar (1..steps per bar) the timeline puts here; 0: the one after the
    // step before (Tambrel's own clock).
    int stepInBar = 0;
    // How long the step lasts (its clocks divide it); 0: the period the run started with.
    std::chrono::nanoseconds length{};
    // The first step of a start (a MIDI clock out sends Start before its first clock).
    bool start = false;
};

class Timeline {
public:
    // One step, on the timeline's thread.
    using StepFn = void (*)(void* user, const TimelineStep& step) noexcept;

    virtual ~Timeline() = default;

    // Window's thread, at Play. Steps come from now on, to `step` with `user`; `periodMs` is
    // the step period that the tempo and time signature in force ask for. False when the
    // timeline could not start (then no step comes).
    [[nodiscard]] virtual bool start(std::uint32_t periodMs, StepFn step, void* user) noexcept = 0;
    // Window's thread. Returns once no step runs any more and none will come; does nothing
    // when the timeline is not running.
    virtual void stop() noexcept = 0;
    virtual bool running() const noexcept = 0;
};

} // namespace tambrel::engine
