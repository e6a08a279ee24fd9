#pragma once
// Pattern files (".qel"): 8-bit text lines, each ended by CR LF: the time signature, the
// tempo spinner's position, eight track info lines "TR<n>INFO:<volume>+<instrument>",
// then one step string per step of the bar. The same operations apply the built-in
// rhythms. Qt-free: the window, the tests and tambrel-pattern share this code.

#include "midi/machine.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tambrel::patterns {

inline constexpr const char* kLoadErrorMessage = "  There was an error loading the file.  ";
inline constexpr const char* kSaveErrorMessage = "  Error saving pattern  ";

// Raised by the apply operations on a missing line or a number that does not convert,
// and by the writer on a line that would break the file's framing.
class PatternError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using PatternLines = std::vector<std::string>;

// Cut bytes into lines at CR LF, lone CR and lone LF; a NUL ends the text; a break at the
// very end starts no extra line.
PatternLines ReadPatternText(std::string_view bytes);
// Every line followed by CR LF. Throws PatternError for a line holding CR, LF or NUL.
std::string WritePatternText(const PatternLines& lines);

// The number rule of the reader: leading blanks, then decimal digits with an optional
// sign, or hex digits after "$", "x", "X", "0x" or "0X"; nothing after the digits; 32 bits.
std::optional<std::int32_t> convertNumber(std::string_view text) noexcept;

// The current state as pattern lines: 10 + steps per bar.
PatternLines BuildPatternLines(const midi::Machine& machine);

// Apply lines to a machine whose grid the caller has cleared: track info lines at indexes
// 2..9, then step line k at index 9 + k, then the tempo of index 1. Throws PatternError
// where the reader cannot go on, leaving what it already applied.
void ApplyPatternLines(midi::Machine& machine, const PatternLines& lines);
void ApplyTrackInfoLine(midi::Machine& machine, std::string_view line);
void ApplyStepLine(midi::Machine& machine, std::string_view timeSignature, std::string_view line,
                   int step) noexcept;

// Whether ApplyPatternLines would run to the end without an error (checks every line it
// would reject, and nothing else).
bool patternLinesAcceptable(const PatternLines& lines) noexcept;

// A whole load of a file's bytes: if the lines are acceptable, clear the grid and apply
// them and return true; otherwise change nothing at all and return false.
bool loadPatternBytes(midi::Machine& machine, std::string_view bytes);

// The largest file taken for a pattern: a pattern file is well under a kilobyte, and a
// name typed by mistake must not fill the memory.
inline constexpr long long kMaxPatternFileBytes = 1 << 20;

// The whole contents of a regular file of at most kMaxPatternFileBytes, or nothing when it
// cannot be read (missing, unreadable, a folder, a pipe or device, too large).
std::optional<std::string> readFileBytes(const std::string& path);

// readFileBytes then loadPatternBytes: false (and nothing changed) for a file that cannot
// be read or is rejected.
bool loadPatternFile(midi::Machine& machine, const std::string& path);

} // namespace tambrel::patterns
