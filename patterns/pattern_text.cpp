#include "patterns/pattern_text.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace tambrel::patterns {

namespace {

bool isDecimalDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Text from a file, quoted for a one-line message: bytes that are not printable ASCII
// are shown as \xNN, so that a reason never carries control characters to a terminal.
std::string quoted(std::string_view text) {
    constexpr std::size_t kLongest = 40;
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < kLongest; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    if (text.size() > kLongest) {
        out += "...";
    }
    return out + "\"";
}

std::string atLine(std::size_t index, const std::string& what) {
    return "line " + std::to_string(index + 1) + ": " + what;
}

// A track info line's two numbers and its name, or why it has none.
std::optional<TrackInfo> parseTrackInfo(std::string_view line, std::string& fault) {
    // The volume sits between the first ":" and the first "+", so a name may hold either
    // character and still come back whole.
    const std::size_t colonAt = line.find(':');
    const std::size_t plusAt = line.find('+');
    const std::size_t colon = colonAt == std::string_view::npos ? 0 : colonAt + 1;
    const std::size_t plus = plusAt == std::string_view::npos ? 0 : plusAt + 1;
    if (plus == 0) {
        fault = "no \"+\" before the instrument";
        return std::nullopt;
    }
    const std::string_view volumeText =
        plus > colon + 1 ? line.substr(colon, plus - colon - 1) : std::string_view{};
    const std::optional<std::int32_t> volume = convertNumber(volumeText);
    if (!volume) {
        fault = "volume " + quoted(volumeText) + " is not a number";
        return std::nullopt;
    }
    // Only the third character names the track.
    const std::optional<std::int32_t> track =
        line.size() >= 3 ? convertNumber(line.substr(2, 1)) : std::nullopt;
    if (!track) {
        fault = "track " + quoted(line.substr(std::min<std::size_t>(2, line.size()), 1)) +
                " (the third character) is not a number";
        return std::nullopt;
    }
    return TrackInfo{*track, *volume, std::string(line.substr(plus))};
}

} // namespace

PatternLines ReadPatternText(std::string_view bytes) {
    const std::size_t nul = bytes.find('\0');
    if (nul != std::string_view::npos) {
        bytes = bytes.substr(0, nul);
    }
    PatternLines lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.emplace_back(bytes.substr(start, i - start));
        i += (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    // A last line without a break is still a line; a break at the very end starts none.
    if (start < bytes.size()) {
        lines.emplace_back(bytes.substr(start));
    }
    return lines;
}

std::string WritePatternText(const PatternLines& lines) {
    std::size_t size = 0;
    for (const std::string& line : lines) {
        if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw PatternError("a pattern line must not hold CR, LF or NUL");
        }
        size += line.size() + 2;
    }
    std::string text;
    text.reserve(size);
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

namespace {

// Hex digits after their prefix; eight of them fill the 32 bits ("$FFFFFFFF" is -1).
std::optional<std::int32_t> convertHex(std::string_view digits) noexcept {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        const int d = hexDigitValue(c);
        if (d < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint64_t>(d);
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Decimal digits with an optional sign, within 32 signed bits.
std::optional<std::int32_t> convertDecimal(std::string_view rest) noexcept {
    bool negative = false;
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        negative = rest[0] == '-';
        rest.remove_prefix(1);
    }
    if (rest.empty()) {
        return std::nullopt;
    }
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (const char c : rest) {
        if (!isDecimalDigit(c)) {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > limit) {
            return std::nullopt;
        }
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

} // namespace

std::optional<std::int32_t> convertNumber(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    const std::string_view rest = text.substr(i);
    if (rest.empty()) {
        return std::nullopt;
    }
    if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X') {
        return convertHex(rest.substr(1));
    }
    if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        return convertHex(rest.substr(2));
    }
    return convertDecimal(rest);
}

ParsedPattern parsePattern(const PatternLines& lines) {
    ParsedPattern parsed;
    Pattern pattern;
    if (lines.empty()) {
        parsed.reason = atLine(0, "missing (a pattern has at least ten lines)");
        return parsed;
    }
    pattern.timeSignature = engine::timeSignatureFromText(lines[kTimeSignatureLine])
                                .value_or(engine::TimeSig::FourFour);
    if (lines.size() > kTempoLine) {
        const std::optional<std::int32_t> tempo = convertNumber(lines[kTempoLine]);
        if (!tempo) {
            parsed.reason =
                atLine(kTempoLine, "tempo " + quoted(lines[kTempoLine]) + " is not a number");
            return parsed;
        }
        pattern.tempo = *tempo;
    }
    for (std::size_t t = 0; t < engine::kTracks; ++t) {
        const std::size_t index = kFirstTrackInfoLine + t;
        if (index >= lines.size()) {
            parsed.reason = atLine(lines.size(), "missing (a pattern has at least ten lines)");
            return parsed;
        }
        std::string fault;
        std::optional<TrackInfo> info = parseTrackInfo(lines[index], fault);
        if (!info) {
            parsed.reason = atLine(index, fault);
            return parsed;
        }
        pattern.trackInfos[t] = std::move(*info);
    }
    const std::size_t stepLines = lines.size() - kHeaderLines;
    const auto held = std::min<std::size_t>(
        stepLines, static_cast<std::size_t>(engine::stepsPerBar(pattern.timeSignature)));
    // A file with lines beyond the bar still selects its signature: one step is enough.
    pattern.steps.reserve(held);
    for (std::size_t k = 0; k < held; ++k) {
        pattern.steps.push_back(engine::StepString::of(lines[kHeaderLines + k]));
    }
    parsed.pattern = std::move(pattern);
    return parsed;
}

} // namespace tambrel::patterns
