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
// The sources of time that follow another program are still to come; they fit the same
// shape:
// - A JACK transport, an incoming MIDI clock or a Link session gives each step's moment
//   from its own position and tempo (non-whole-millisecond periods, a phase, a tempo that
//   moves mid-bar): such a timeline wakes a step's thread ahead of the moment, as the own
//   clock's timer does, and hands over the moment it computed, not the moment it woke.
// - A start that is known only when it happens (a transport that starts rolling, a clock's
//   Start byte) is a moment the timer thread cannot know in advance. Its timeline prepares
//   the first step ahead (the step clock builds its messages as for any step) with a moment
//   on the server's frame clock that the audio side fixes when its process callback sees
//   the start: the messages are released at the frame the timeline reaches, not when the
//   step's thread ran.
// One source of time at a time: the machine chooses the timeline while the clock stops.

#include "midiout/timed_message.h"

#include <cstdint>

namespace tambrel::engine {

// The moments a timeline hands out are the ones the messages carry.
using TimelineClock = midiout::MidiClock;
using StepMoment = midiout::Moment;

class Timeline {
public:
    // One step, on the timeline's thread: `due` is the moment the step is due.
    using StepFn = void (*)(void* user, StepMoment due) noexcept;

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
