#pragma once
// Where in a JACK period a stamped MIDI message goes: the rule of the JACK back end's
// process callback, on its own so that it can be checked frame by frame.
//
// A message stamped at frame s goes out at s + one period + the wake-up allowance, whatever
// period the callback is in when it sees it: every message is late by the same amount, and
// the receiver hears the steps spaced as the step clock's schedule, even when the step
// clock's thread woke late for a step and sent its notes that much later.

#include <cmath>
#include <cstdint>

namespace tambrel::backends {

// How late the step clock's thread may wake for a step while its notes still keep their
// place: a loaded machine (two cores, a virtual machine, a browser open) wakes a thread up
// to about 20 ms late. Every note plays this much later than it could, which a looping
// pattern never lets the ear notice; only the first note after Play comes that much later.
inline constexpr double kLateWakeAllowanceSeconds = 0.025;

// How many periods beyond its delay a message may be held for the period its stamp points
// at; one stamped farther ahead than that (a clock that jumped) goes out at once.
inline constexpr std::int64_t kJackHoldPeriods = 8;

// The delay of every message, in frames: the period in which a message stamped during the
// one before is first seen, and the wake-up allowance.
inline std::int64_t jackDelayFrames(std::uint32_t frames, std::uint32_t sampleRate) noexcept {
    return static_cast<std::int64_t>(frames) +
           std::llround(kLateWakeAllowanceSeconds * static_cast<double>(sampleRate));
}

struct JackPlacement {
    bool hold = false;       // for a later period: leave it queued
    std::int64_t offset = 0; // otherwise: the frame within this period, 0..frames-1
    bool late = false;       // its own period had already gone out
};

// For the period [cycleStart, cycleStart + frames), a message stamped at `stamp` that plays
// `delay` frames later (jackDelayFrames), when the message written before it in this period
// went to `lastOffset` (0 for none). A port whose messages are sent ahead of their moment
// (the clock's) holds them up to `aheadFrames` beyond the usual. Frame counters wrap; only
// their differences count.
constexpr JackPlacement placeInPeriod(std::uint32_t stamp, std::uint32_t cycleStart,
                                      std::uint32_t frames, std::int64_t delay,
                                      std::int64_t lastOffset,
                                      std::int64_t aheadFrames = 0) noexcept {
    const auto period = static_cast<std::int64_t>(frames);
    JackPlacement placed;
    placed.offset = static_cast<std::int32_t>(stamp - cycleStart) + delay;
    if (placed.offset >= period) {
        // Its frame is in a later period (its delay is still running, the message was sent
        // ahead, or the server stalled and makes up with periods in quick succession). Only
        // a clock that jumped far sends it now rather than never.
        if (placed.offset < delay + kJackHoldPeriods * period + aheadFrames) {
            placed.hold = true;
            return placed;
        }
        placed.offset = period - 1;
    }
    placed.late = placed.offset < 0;
    // Late (a missed period), or behind the message before it: as early as order allows.
    if (placed.offset < lastOffset) {
        placed.offset = lastOffset;
    }
    return placed;
}

} // namespace tambrel::backends
