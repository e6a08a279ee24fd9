#include "pattern_file.h"

#include "engine/time_signature.h"
#include "platform/regular_file.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace tambrel::patterns {

namespace {

constexpr std::size_t kTimeSignatureIndex = 0;
constexpr std::size_t kTempoIndex = 1;
constexpr std::size_t kFirstTrackInfoIndex = 2;
constexpr std::size_t kLastTrackInfoIndex = 9;
constexpr std::size_t kHeaderLines = 10; // time signature, tempo, eight track info lines

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

// The two numbers a track info line holds, or why it cannot be applied.
struct TrackInfo {
    std::int32_t volume = 0;
    int track = 0;
    std::string_view name;
};

enum class TrackInfoFault { None, Volume, Track };

TrackInfoFault parseTrackInfo(std::string_view line, TrackInfo& info) noexcept {
    // 1-based positions of the first ":" and the first "+", 0 for none: the volume sits
    // between them, so a name may hold either character and still come back whole.
    const std::size_t colonAt = line.find(':');
    const std::size_t plusAt = line.find('+');
    const std::size_t colon = colonAt == std::string_view::npos ? 0 : colonAt + 1;
    const std::size_t plus = plusAt == std::string_view::npos ? 0 : plusAt + 1;

    const std::string_view volumeText =
        plus > colon + 1 ? line.substr(colon, plus - colon - 1) : std::string_view{};
    const std::optional<std::int32_t> volume = convertNumber(volumeText);
    if (!volume) {
        return TrackInfoFault::Volume;
    }
    // Only the third character names the track: neither "TR" nor the line's place counts.
    const std::optional<std::int32_t> track =
        line.size() >= 3 ? convertNumber(line.substr(2, 1)) : std::nullopt;
    if (!track) {
        return TrackInfoFault::Track;
    }
    info.volume = *volume;
    info.track = *track;
    info.name = plus == 0 ? std::string_view{} : line.substr(plus);
    return TrackInfoFault::None;
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

std::optional<std::int32_t> convertNumber(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    std::string_view rest = text.substr(i);
    if (rest.empty()) {
        return std::nullopt;
    }

    std::size_t hexPrefix = 0;
    if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X') {
        hexPrefix = 1;
    } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        hexPrefix = 2;
    }
    if (hexPrefix != 0) {
        const std::string_view digits = rest.substr(hexPrefix);
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
        // Eight hex digits fill the 32 bits: "$FFFFFFFF" is -1.
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }

    bool negative = false;
    if (rest[0] == '+' || rest[0] == '-') {
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

PatternLines BuildPatternLines(const midi::Machine& machine) {
    const engine::RhythmEngine& engine = machine.engine();
    const midi::TrackSettings& tracks = machine.tracks();
    PatternLines lines;
    const int steps = engine.stepsPerBar();
    lines.reserve(kHeaderLines + static_cast<std::size_t>(steps));
    lines.emplace_back(engine.timeSignatureText());
    // The spinner's own position: it can be a click ahead of the tempo shown.
    lines.push_back(std::to_string(engine.tempoSpinner().position()));
    for (int t = 1; t <= engine::kTracks; ++t) {
        lines.push_back("TR" + std::to_string(t) + "INFO:" + std::to_string(tracks.volume(t)) +
                        "+" + tracks.instrumentText(t));
    }
    for (int k = 1; k <= steps; ++k) {
        lines.push_back(engine.BuildStepString(k).str());
    }
    return lines;
}

void ApplyTrackInfoLine(midi::Machine& machine, std::string_view line) {
    TrackInfo info;
    switch (parseTrackInfo(line, info)) {
    case TrackInfoFault::Volume:
        throw PatternError("track info line without a volume: " + std::string(line));
    case TrackInfoFault::Track:
        throw PatternError("track info line without a track number: " + std::string(line));
    case TrackInfoFault::None:
        break;
    }
    // A track digit 0 or 9 names no track: the line is skipped, not refused.
    if (info.track >= 1 && info.track <= engine::kTracks) {
        machine.tracks().applyTrackInfo(info.track, info.volume, info.name);
    }
}

void ApplyStepLine(midi::Machine& machine, std::string_view timeSignature, std::string_view line,
                   int step) noexcept {
    // Any text but the three others, a stray blank included, plays as "4/4".
    const engine::TimeSig sig =
        engine::timeSignatureFromText(timeSignature).value_or(engine::TimeSig::FourFour);
    engine::RhythmEngine& engine = machine.engine();
    engine.SelectTimeSignature(sig);
    const int cell = engine::cellForStep(sig, step);
    if (cell == 0) {
        return;
    }
    for (int t = 1; t <= engine::kTracks; ++t) {
        const auto at = static_cast<std::size_t>(t - 1);
        if (at < line.size() && line[at] == '1') {
            engine.grid().set(t, cell, true);
        }
    }
}

void ApplyPatternLines(midi::Machine& machine, const PatternLines& lines) {
    for (std::size_t i = kFirstTrackInfoIndex; i <= kLastTrackInfoIndex; ++i) {
        if (i >= lines.size()) {
            throw PatternError("a pattern needs at least ten lines");
        }
        ApplyTrackInfoLine(machine, lines[i]);
    }
    const std::string& timeSignature = lines[kTimeSignatureIndex];
    for (std::size_t k = 1; kHeaderLines + k <= lines.size(); ++k) {
        // Steps beyond any bar only switch the signature; capped so the count cannot wrap.
        const int step = static_cast<int>(std::min<std::size_t>(k, engine::kCells + 1));
        ApplyStepLine(machine, timeSignature, lines[kLastTrackInfoIndex + k], step);
    }
    // Tempo last: the signature switch above computed a period from the old tempo.
    const std::optional<std::int32_t> tempo = convertNumber(lines[kTempoIndex]);
    if (!tempo) {
        throw PatternError("tempo line is not a number: " + lines[kTempoIndex]);
    }
    engine::RhythmEngine& engine = machine.engine();
    engine.tempoSpinner().setPosition(*tempo);
    engine.UpdateStepPeriod();
}

bool patternLinesAcceptable(const PatternLines& lines) noexcept {
    if (lines.size() < kHeaderLines) {
        return false;
    }
    for (std::size_t i = kFirstTrackInfoIndex; i <= kLastTrackInfoIndex; ++i) {
        TrackInfo info;
        if (parseTrackInfo(lines[i], info) != TrackInfoFault::None) {
            return false;
        }
    }
    return convertNumber(lines[kTempoIndex]).has_value();
}

bool loadPatternBytes(midi::Machine& machine, std::string_view bytes) {
    const PatternLines lines = ReadPatternText(bytes);
    // Everything that could stop the load half way is checked before the first change,
    // so a bad file leaves the pattern the user had.
    if (!patternLinesAcceptable(lines)) {
        return false;
    }
    machine.engine().ClearPattern();
    ApplyPatternLines(machine, lines);
    return true;
}

std::optional<std::string> readFileBytes(const std::string& path) {
    // Regular files only: a name typed into the open dialog may be a pipe or a device that
    // would hang the window or never end.
    return platform::readRegularFile(path, kMaxPatternFileBytes);
}

bool loadPatternFile(midi::Machine& machine, const std::string& path) {
    const std::optional<std::string> bytes = readFileBytes(path);
    return bytes && loadPatternBytes(machine, *bytes);
}

} // namespace tambrel::patterns
