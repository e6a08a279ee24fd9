#pragma once
// Where MIDI clock out's bytes go (engine/midi_clock_out.h makes them): a port of their own,
// which places each message at its moment, as the notes' outputs do.

#include "midiout/frame_clock.h"
#include "midiout/timed_message.h"

#include <chrono>

namespace tambrel::midiout {

// Where the clock's bytes go: a port of their own. Sends come from one thread at a time
// (the step clock's while it plays, the window's at Stop, the idle clock's while stopped),
// one after the other; a send never waits, locks or allocates.
class ClockSink {
public:
    // The longest a clock is sent ahead of its moment: the longest step (6/8 at 30, 1 s)
    // and the Stop one step after the last.
    static constexpr std::chrono::milliseconds kMostAhead{2000};
    virtual ~ClockSink() = default;
    virtual void sendClock(const TimedMessage& message) noexcept = 0;
    // The same, placed on a frame of frameClock() worked out before (the Stop, whose frame
    // is taken with the last step's, on the same reading of the server's clock).
    virtual void sendClockAt(const TimedMessage& message, std::uint32_t /*frame*/) noexcept {
        sendClock(message);
    }
    // The frame clock the port places its messages on, when it has one: the step clock is
    // paced by it while the clock goes out, so that the clocks never drift in frames.
    virtual const FrameClock* frameClock() const noexcept { return nullptr; }
    // Whether the port went with its server (a JACK server stopped or restarted).
    virtual bool lost() const noexcept { return false; }
    // Window's thread, while nothing sends through the port: a lost port is made again on
    // the server that runs now and connected as it was. True when it was; frameClock() may
    // then be another.
    virtual bool reconnect() noexcept { return false; }
};

} // namespace tambrel::midiout
