#pragma once
// Where in a JACK period a stamped MIDI message goes: the rule of the JACK back end's
// process callback, on its own so that it can be checked frame by frame.
//
// A message stamped at frame s goes out at s + one period + the wake-up allowance, whatever
// period the callback is in when it sees it: every message is late by the same amount, and
// the receiver hears the steps spaced as the step clock's schedule, even when the step
// clock's thread woke late for a step and sent its notes that much later.

#include "midiout/timed_message.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>

namespace tambrel::backends {

// How late the step clock's thread may wake for a step while its notes still keep their
// place: a loaded machine (two cores, a virtual machine, a browser open) wakes a thread up
// to about 20 ms late. Every note plays this much later than it could, which a looping
// pattern never lets the ear notice; only the first note after Play comes that much later.
inline constexpr double kLateWakeAllowanceSeconds = 0.025;

// How far beyond its delay a message may be held for the period its stamp points at: the
// larger of some periods and some time. One stamped farther ahead than that (a clock that
// jumped) goes out at once. A server that stalled and makes up with periods in quick
// succession (a dummy server on a loaded machine: up to 290 ms) writes periods that far
// behind our frame line; eight periods alone (43 ms at 256 frames) sent such notes
// thousands of frames early.
inline constexpr std::int64_t kJackHoldPeriods = 8;
inline constexpr double kJackHoldSeconds = 0.5;

// The delay of every message, in frames: the period in which a message stamped during the
// one before is first seen, and the wake-up allowance.
inline std::int64_t jackDelayFrames(std::uint32_t frames, std::uint32_t sampleRate) noexcept {
    return static_cast<std::int64_t>(frames) +
           std::llround(kLateWakeAllowanceSeconds * static_cast<double>(sampleRate));
}

// The hold beyond the delay, in frames, for periods of `frames` at `sampleRate`.
inline std::int64_t jackHoldFrames(std::uint32_t frames, std::uint32_t sampleRate) noexcept {
    return std::max<std::int64_t>(kJackHoldPeriods * frames,
                                  std::llround(kJackHoldSeconds * static_cast<double>(sampleRate)));
}

struct JackPlacement {
    bool hold = false;       // for a later period: leave it queued
    std::int64_t offset = 0; // otherwise: the frame within this period, 0..frames-1
    bool late = false;       // its own period had already gone out
    bool drop = false;       // its start never came: throw it away
};

// Where a message whose frame lies `offset` frames into a period of `period` frames goes:
// held for a later period while its frame is less than `holdLimit` frames in; beyond that
// (a clock that jumped far, a leftover of another start) at once, rather than never or
// blocking the messages behind it. One late (its period missed) or behind the message
// written before it (at `lastOffset`) goes as early as order allows.
constexpr JackPlacement placeAtOffset(std::int64_t offset, std::int64_t period,
                                      std::int64_t holdLimit, std::int64_t lastOffset) noexcept {
    JackPlacement placed;
    placed.offset = offset;
    if (placed.offset >= period) {
        if (placed.offset < holdLimit) {
            placed.hold = true;
            return placed;
        }
        placed.offset = period - 1;
    }
    placed.late = placed.offset < 0;
    if (placed.offset < lastOffset) {
        placed.offset = lastOffset;
    }
    return placed;
}

// For the period [cycleStart, cycleStart + frames), a message stamped at `stamp` that plays
// `delay` frames later (jackDelayFrames), when the message written before it in this period
// went to `lastOffset` (0 for none), held up to `hold` frames beyond its delay
// (jackHoldFrames). A port whose messages are sent ahead of their moment (the clock's) holds
// them up to `aheadFrames` beyond that. Frame counters wrap; only their differences count.
constexpr JackPlacement placeInPeriod(std::uint32_t stamp, std::uint32_t cycleStart,
                                      std::uint32_t frames, std::int64_t delay, std::int64_t hold,
                                      std::int64_t lastOffset,
                                      std::int64_t aheadFrames = 0) noexcept {
    // Its frame may be in a later period: its delay is still running, the message was sent
    // ahead, or the server stalled and makes up with periods in quick succession.
    const auto period = static_cast<std::int64_t>(frames);
    return placeAtOffset(static_cast<std::int32_t>(stamp - cycleStart) + delay, period,
                         delay + hold + aheadFrames, lastOffset);
}

// A start that only the followed transport's roll releases (engine/followed_time.h): the
// step clock prepares its first steps counted from the release, and the outputs hold them
// until the transport rolls. Published by the transport's follower in our client's process
// callback, before the outputs write their period, so a start is heard on its own frame.
enum class ReleasePhase : std::uint8_t {
    None,      // no start waits: a message counted from a release has nothing to go by
    Awaiting,  // the transport is starting: hold
    Released,  // it rolled at `frame`
    Cancelled, // it stopped before rolling: that start's messages are dropped
    Stopped,   // it rolled and stopped at `frame`: notes handed over before are cut there
};
struct JackRelease {
    ReleasePhase phase = ReleasePhase::None;
    std::uint32_t frame = 0; // the server frame on which it rolled, once released
    // Which start it is (the follower counts them): a step prepared for a start that another
    // one replaced (the transport moved again before it rolled) is not played with it.
    std::uint8_t start = 0;

    bool operator==(const JackRelease&) const = default;
};

// Whether a stamped message (placed `delay` frames after `stamp`) is a note that the step
// clock handed over while the followed transport still rolled, due on or after the frame it
// stopped on: such a note is not heard, as no step after the stop is. Our stamps run ahead
// of a server that lags behind its own clock (a loaded machine, long periods), by as much as
// a stall: a note stamped up to `hold` frames (jackHoldFrames) past its delay after the stop
// frame was still handed over before the stop could be seen. Any other message, and a note
// stamped later than that, goes out as usual.
constexpr bool cutByStop(std::uint32_t stamp, std::int64_t delay, std::int64_t hold,
                         JackRelease release, const std::array<std::uint8_t, 3>& bytes) noexcept {
    if (release.phase != ReleasePhase::Stopped || (bytes[0] & 0xF0) != 0x90 || bytes[2] == 0) {
        return false;
    }
    const std::int64_t sinceStop = static_cast<std::int32_t>(stamp - release.frame);
    return sinceStop + delay >= 0 && sinceStop < delay + hold;
}

// The frames after its start's release at which a message counted from it plays.
inline std::uint32_t releaseFrames(midiout::Moment due, std::uint32_t sampleRate) noexcept {
    const auto nanos = std::chrono::nanoseconds(midiout::releaseOffset(due)).count();
    return static_cast<std::uint32_t>(
        std::max<std::int64_t>(0, std::llround(static_cast<double>(nanos) * sampleRate / 1e9)));
}

// The most frames a message may wait past its release for its own period; beyond that it
// is taken as a leftover of another start and goes out at once rather than blocking the
// messages behind it.
inline constexpr std::int64_t kReleaseHoldFrames = std::int64_t{1} << 20;

// For the period [cycleStart, cycleStart + frames), a message of start number `start` that
// plays `releaseOffset` frames after the frame its start is released on. Its frame is the step's
// own frame, worked out by the step clock: no delay is added. A start whose roll came late places
// what is overdue at once, in order.
constexpr JackPlacement placeReleased(std::int64_t releaseOffset, std::uint8_t start,
                                      JackRelease release, std::uint32_t cycleStart,
                                      std::uint32_t frames, std::int64_t lastOffset) noexcept {
    JackPlacement placed;
    if (start != release.start) {
        placed.drop = true;
        return placed;
    }
    if (release.phase == ReleasePhase::Awaiting) {
        placed.hold = true;
        return placed;
    }
    if (release.phase != ReleasePhase::Released) {
        placed.drop = true;
        return placed;
    }
    const auto period = static_cast<std::int64_t>(frames);
    return placeAtOffset(static_cast<std::int32_t>(release.frame - cycleStart) + releaseOffset,
                         period, period + kReleaseHoldFrames, lastOffset);
}

} // namespace tambrel::backends
