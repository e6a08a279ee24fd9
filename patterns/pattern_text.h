#pragma once
// Pattern files (".qel") as text: 8-bit lines, each ended by CR LF: the time signature,
// the tempo, eight track info lines "TR<n>INFO:<volume>+<instrument>", then one step
// string per step of the bar. Pure functions of their arguments: the window, the tests,
// tambrel-pattern and the fuzzer share them.

#include "patterns/pattern.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tambrel::patterns {

// Cut bytes into lines at CR LF, lone CR and lone LF; a NUL ends the text; a break at the
// very end starts no extra line.
PatternLines ReadPatternText(std::string_view bytes);
// Every line followed by CR LF. Throws PatternError for a line holding CR, LF or NUL.
std::string WritePatternText(const PatternLines& lines);

// The number rule of the reader: leading blanks, then decimal digits with an optional
// sign, or hex digits after "$", "x", "X", "0x" or "0X"; nothing after the digits; 32 bits.
std::optional<std::int32_t> convertNumber(std::string_view text) noexcept;

// Either the pattern that lines hold, or why they hold none, naming the line (counted
// from 1) and its fault: `line 4: volume "1x" is not a number`.
struct ParsedPattern {
    std::optional<Pattern> pattern;
    std::string reason;
};

// A pattern needs its ten header lines with numbers where numbers belong; everything
// else (an unknown time signature, any step line) is taken as the reader always took it.
ParsedPattern parsePattern(const PatternLines& lines);

} // namespace tambrel::patterns
