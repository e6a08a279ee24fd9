#pragma once
// Where in a JACK period a stamped MIDI message goes: the rule of the JACK back end's
// process callback, on its own so that it can be checked frame by frame.
//
// A message stamped at frame s goes out at s + one period, whatever period the callback
// is in when it sees it: every message is late by the same one period, and the receiver
// hears the steps spaced as the step clock sent them.

#include <cstdint>

namespace tambrel::platform {

// How many periods ahead a message may be held for the period its stamp points at; one
// stamped farther ahead than that (a clock that jumped) goes out at once.
inline constexpr std::int64_t kJackHoldPeriods = 8;

struct JackPlacement {
    bool hold = false;       // for a later period: leave it queued
    std::int64_t offset = 0; // otherwise: the frame within this period, 0..frames-1
    bool late = false;       // its own period had already gone out
};

// For the period [cycleStart, cycleStart + frames), a message stamped at `stamp`, when the
// message written before it in this period went to `lastOffset` (0 for none). Frame
// counters wrap; only their differences count.
constexpr JackPlacement placeInPeriod(std::uint32_t stamp, std::uint32_t cycleStart,
                                      std::uint32_t frames, std::int64_t lastOffset) noexcept {
    const auto period = static_cast<std::int64_t>(frames);
    JackPlacement placed;
    placed.offset = static_cast<std::int32_t>(stamp + frames - cycleStart);
    if (placed.offset >= period) {
        // Stamped after this period began (or during a server stall, which the server
        // makes up with periods in quick succession): it belongs to a later period. Only a
        // clock that jumped far sends it now rather than never.
        if (placed.offset < kJackHoldPeriods * period) {
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

} // namespace tambrel::platform
