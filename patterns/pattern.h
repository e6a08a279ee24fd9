#pragma once
// A pattern as a value: what one pattern file or built-in rhythm holds, read but not yet
// applied. Reading a file's lines gives either a Pattern or the reason the lines are none;
// applying a Pattern to the machine cannot fail, so a load changes all or nothing.

#include "engine/note_trigger.h"
#include "engine/time_signature.h"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tambrel::patterns {

// A pattern's text, one entry per line, without the line breaks.
using PatternLines = std::vector<std::string>;

// Raised by the writer for a line that would break the file's framing, and by anything
// that needs a pattern from lines that are none.
class PatternError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One track info line, "TR<n>INFO:<volume>+<instrument>".
struct TrackInfo {
    // The line's third character: 1..8 names a track, 0 and 9 name none (the line is
    // skipped). Neither the line's place nor its letters count.
    int track = 0;
    // As written; the track keeps it within 0..127.
    std::int32_t volume = 0;
    // Everything after the first "+", possibly nothing, byte for byte.
    std::string instrument;
    bool operator==(const TrackInfo&) const = default;
};

struct Pattern {
    // From the first line; any text but "12/8", "3/4" and "6/8" plays as "4/4". The step
    // lines carry it: a pattern without any leaves the time signature as it was.
    engine::TimeSig timeSignature = engine::TimeSig::FourFour;
    // As written; the machine keeps it within 30..260.
    std::int32_t tempo = engine::kTempoStart;
    // The eight track info lines, in the order of the file.
    std::array<TrackInfo, engine::kTracks> trackInfos;
    // One per step line, step 1 first, up to the bar's last step: the lines after it
    // change nothing.
    std::vector<engine::StepString> steps;
    bool operator==(const Pattern&) const = default;
};

// Where the lines of a pattern stand.
inline constexpr std::size_t kTimeSignatureLine = 0;
inline constexpr std::size_t kTempoLine = 1;
inline constexpr std::size_t kFirstTrackInfoLine = 2;
inline constexpr std::size_t kHeaderLines = kFirstTrackInfoLine + engine::kTracks;

// The one place a track info line is written, for pattern files and built-in rhythms alike.
inline std::string trackInfoLine(int track, int volume, std::string_view instrument) {
    std::string line = "TR" + std::to_string(track) + "INFO:" + std::to_string(volume) + "+";
    line.append(instrument);
    return line;
}

} // namespace tambrel::patterns
