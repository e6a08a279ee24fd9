#pragma once
// A Link session's time as Tambrel's steps, without the network and without Link's headers:
// what LinkSource (link_source.h) computes on each look of the step clock, kept apart so
// that it is tested on its own.
//
// Link counts in quarter-note beats and its quantum is the bar. A step lasts
// clocksPerStep / 24 beats (a sixteenth in 4/4, a triplet eighth in 3/4, an eighth in 12/8
// and 6/8), so a bar of Tambrel's is exactly one quantum. A session tempo that would put
// Tambrel's own tempo outside 30-260 is followed at double or half speed: a step then lasts
// half or twice as many beats, and every step still falls on a step of the session's grid.
//
// Link's clock on Linux is CLOCK_MONOTONIC_RAW, the step clock's and the frame line's is
// the steady clock (CLOCK_MONOTONIC, slewed by NTP). The two drift apart by up to a few
// hundred parts per million, so their offset is sampled anew on every look (RawClockMap)
// rather than once.

#include "midiout/followed_time.h"
#include "midiout/timed_message.h"

#include <chrono>
#include <cstdint>

namespace tambrel::backends {

// How the session's beats make Tambrel's bar and steps at a session tempo.
struct LinkMeter {
    double quantum = 4;      // beats in the session's bar: Link's quantum
    double beatsPerStep = 0; // beats in one of Tambrel's steps, after doubling or halving
    int stepsPerBar = 16;
    double tempo = 0; // Tambrel's tempo (its tempo label's units) at that speed

    bool operator==(const LinkMeter&) const = default;
};

LinkMeter linkMeter(const midiout::OwnTime& own, double bpm) noexcept;

// The session tempo (beats per minute) that Tambrel's tempo asks for, at Tambrel's own speed
// (the spinner's range is followed as it stands): what moving the tempo spinner proposes.
double sessionTempoFor(const midiout::OwnTime& own, double tempo) noexcept;

// The step of the session's timeline at a beat: step s begins on beat s x beatsPerStep, so
// step 0 of each bar (Tambrel's step 1) falls on the session's bar.
std::int64_t firstStepFrom(const LinkMeter& meter, double beat) noexcept;
// The first step of the first bar that begins at or after `beat`.
std::int64_t firstBarStepFrom(const LinkMeter& meter, double beat) noexcept;

// What a look at the session gives: at `time` on Link's clock the session is on `beat` (at
// the meter's quantum), and `step` begins at `stepTime`.
struct LinkLook {
    LinkMeter meter;
    double bpm = 0;
    std::chrono::microseconds time{0};
    double beat = 0;
    std::int64_t step = 0;
    std::chrono::microseconds stepTime{0};
};

// Link's clock and the steady clock (the step clock's and the frame line's), sampled together:
// the steady clock read on each side of Link's.
class RawClockMap {
public:
    // One reading of both clocks, the steady one on each side of the raw one.
    void sample(std::chrono::nanoseconds steadyBefore, std::chrono::nanoseconds raw,
                std::chrono::nanoseconds steadyAfter) noexcept;
    midiout::Moment momentOf(std::chrono::microseconds linkTime) const noexcept;
    std::chrono::microseconds linkTimeOf(midiout::Moment moment) const noexcept;

private:
    std::chrono::nanoseconds rawMinusSteady_{0};
};

// The grid that a look at the session gives on a frame clock: anchored on the look's step,
// framesPerStep from the session's exact tempo, the tempo in Tambrel's units. Epoch and
// rolling are left to the caller.
midiout::FollowedGrid gridOf(const LinkLook& look, const RawClockMap& clocks,
                             const midiout::FrameClock& frames) noexcept;

// Whether `next` counts the steps as `previous` did: the same bar and speed, and the beat
// where `previous`'s tempo leads (within a quarter of a step). A new tempo keeps the beat
// where it was; a session whose beats jumped (a peer joined and its timeline won) does not.
bool continues(const LinkLook& previous, const LinkLook& next) noexcept;

} // namespace tambrel::backends
