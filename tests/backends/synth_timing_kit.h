#pragma once
// What the synth timing tests and the synth timing benchmark share: one note per step sent
// by the step clock's own timer, the onsets of those notes found in a recording of the
// synth, and the spacing errors between them.

#include "sound_recording.h"

#include "midiout/midi_out.h"
#include "platform/periodic_timer.h"
#include "tests/support/late_wakeups.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace tambrel::testing {

using SteadyClock = std::chrono::steady_clock;

// Claves at velocity 100: it starts within a millisecond and has died down to a fortieth of
// its peak before the next step at tempo 240, so every step's onset stands out.
inline constexpr std::uint32_t kClaves = 0x99 | (75 << 8) | (100 << 16);

// Sends `note` on `handle` once per expiry of a `periodMs` timer, `steps` times; with `late`,
// a timer that wakes late on purpose. Returns once all are sent, with the moment just before
// each send; `firstDue`, when given, gets the first step's slot on the timer's schedule (as
// Play's first step is due).
std::vector<SteadyClock::time_point>
playSteps(midiout::MidiOut& out, midiout::MidiOutHandle handle, std::uint32_t note, int steps,
          std::uint32_t periodMs, SteadyClock::time_point* firstDue = nullptr,
          std::optional<testing::LateWakeups> late = std::nullopt);

// Seconds from `due` to the first sample of `heard` at least `audible` loud, on the
// recording's clock (when its reader got the sample); NaN when nothing is that loud.
double firstSoundAfter(const Recording& heard, SteadyClock::time_point due, float audible = 1e-3f);

// The onset finder's settings for kClaves steps at 48 kHz: above the reverb's wash and
// the previous step's tail, and quiet for 20 ms before.
std::vector<std::int64_t> findClavesOnsets(const std::vector<float>& level);

// |spacing of consecutive onsets - the step period| in microseconds. A lost or doubled
// onset is a whole number of steps off and is measured against that many steps.
std::vector<double> spacingErrorsUs(const std::vector<std::int64_t>& onsets, double periodUs,
                                    double sampleRate);

// How far the first onset lies from the grid that the next 16 keep (their least-squares
// line against the step number), in microseconds: positive when late. NaN with fewer than
// three onsets.
double firstNoteOffsetUs(const std::vector<std::int64_t>& onsets, double sampleRate);

} // namespace tambrel::testing
