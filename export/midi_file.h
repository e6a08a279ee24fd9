#pragma once
// A loop as a Standard MIDI File: format 0, one named track, 960 ticks to the quarter
// note, so that any sequencer plays it with its own drums, at exactly the window's speed,
// and can loop its whole bars.

#include "export/loop.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tambrel::exporting {

inline constexpr int kTicksPerQuarter = 960;
// How long a note is held: a 32nd note. The clock sends no note-off at all, but a
// sequencer shows notes with lengths, and some instruments wait for the off. It is
// shorter than every step (checked while compiling), so a note always ends before its
// track can sound again.
inline constexpr int kNoteTicks = kTicksPerQuarter / 8;

// The file's time grid for a loop's signature and step period.
struct MidiMeter {
    int numerator = 4;
    int denominator = 4;
    int ticksPerStep = 0;
    // The tempo event's value: the clock's whole-millisecond step period, exactly.
    std::int64_t microsPerQuarter = 0;
};

MidiMeter midiMeter(engine::TimeSig sig, int stepPeriodMs) noexcept;

// The whole file: the track's name, the time signature and the tempo at tick 0, a note-on
// and its note-off for each note of the loop that sounds (velocity 0 sounds nothing and is
// left out), and the end of the track after the last bar.
std::string standardMidiFile(const Loop& loop, std::string_view trackName);

} // namespace tambrel::exporting
