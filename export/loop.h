#pragma once
// A pattern taken out of the machine as N bars of notes: what the step clock would send,
// step by step, if it played those bars from step 1. The MIDI file and the audio render
// are both written from this one list, so they cannot tell different stories.

#include "machine/machine.h"

#include "engine/time_signature.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tambrel::exporting {

inline constexpr int kMinBars = 1;
inline constexpr int kMaxBars = 999;
inline constexpr int kDefaultBars = 4;

struct LoopNote {
    // Steps since the loop's start: step 1 of bar 1 is 0.
    std::int64_t step = 0;
    // The short message the note trigger sends: note-on, channel 10, key, velocity.
    std::uint32_t message = 0;
    bool operator==(const LoopNote&) const = default;
};

struct Loop {
    engine::TimeSig timeSignature = engine::TimeSig::FourFour;
    // The step period the clock's timer would be started with, in whole milliseconds.
    int stepPeriodMs = 0;
    int stepsPerBar = 0;
    int bars = 0;
    // In the order the clock sends them: step by step, track 1 to 8 within a step. A
    // track at velocity 0 is here too, as the clock sends it (a note-off to a synth).
    std::vector<LoopNote> notes;

    std::int64_t steps() const noexcept { return std::int64_t{bars} * stepsPerBar; }
};

// The machine's pattern played for `bars` bars (kMinBars to kMaxBars).
Loop playedLoop(const machine::Machine& machine, int bars);

// Where a loop comes from: a pattern file, or a built-in rhythm by its caption.
struct LoopSource {
    enum class Kind { File, Preset };
    Kind kind = Kind::File;
    std::string name; // the file's path, or the rhythm's caption

    // What an exported track is called: the file's name without folder and extension,
    // or the rhythm's caption.
    std::string title() const;
    // How a message names it: the path as given, or the caption in quotes.
    std::string shown() const;
};

// Loads the file or the rhythm into the machine as the window would. Nothing on success;
// otherwise why not, without naming the source.
[[nodiscard]] std::optional<std::string> loadSource(machine::Machine& machine,
                                                    const LoopSource& source);

} // namespace tambrel::exporting
