#pragma once
// The four time signatures: how many steps a bar has, which grid cell each step plays,
// and the tempo constant that turns a tempo into a step period. Compile-time data, so
// the built-in rhythms are checked against this very table when they are built.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tambrel::engine {

inline constexpr int kTracks = 8;
// Cells of each track, and so the most steps a bar can have.
inline constexpr int kCells = 16;

inline constexpr int kTempoMin = 30;
inline constexpr int kTempoMax = 260;
inline constexpr int kTempoStart = 120;

enum class TimeSig : std::uint8_t { FourFour = 0, TwelveEight = 1, ThreeFour = 2, SixEight = 3 };

struct TimeSignatureInfo {
    std::string_view text;
    int stepsPerBar;
    // The cell played by step 1, 2, ... stepsPerBar; the entries after those are unused.
    std::array<int, kCells> stepCells;
    int tempoConstant; // step period = tempoConstant / tempo, in whole milliseconds
};

// In the order of the time-signature selector's positions 1 to 4.
inline constexpr std::array<TimeSignatureInfo, 4> kTimeSignatures = {{
    {"4/4", 16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 15000},
    {"12/8", 12, {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15}, 20000},
    {"3/4", 9, {1, 2, 3, 5, 6, 7, 9, 10, 11}, 20000},
    {"6/8", 6, {1, 2, 5, 6, 9, 10}, 30000},
}};

constexpr const TimeSignatureInfo& timeSignatureInfo(TimeSig sig) noexcept {
    return kTimeSignatures[static_cast<std::size_t>(sig) & 3U];
}

constexpr std::string_view timeSignatureText(TimeSig sig) noexcept {
    return timeSignatureInfo(sig).text;
}

constexpr int stepsPerBar(TimeSig sig) noexcept {
    return timeSignatureInfo(sig).stepsPerBar;
}

// Exact, case-sensitive: "4/4 " is not "4/4".
constexpr std::optional<TimeSig> timeSignatureFromText(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kTimeSignatures.size(); ++i) {
        if (kTimeSignatures[i].text == text) {
            return static_cast<TimeSig>(i);
        }
    }
    return std::nullopt;
}

// The signature at a position (1 to 4) of the time-signature selector.
constexpr TimeSig timeSignatureAtPosition(int position) noexcept {
    return static_cast<TimeSig>(position < 1 ? 0 : position > 4 ? 3 : position - 1);
}

// The cell (1..16) that `step` (1-based) plays, or 0 for a step the bar does not have.
constexpr int cellForStep(TimeSig sig, int step) noexcept {
    const TimeSignatureInfo& info = timeSignatureInfo(sig);
    if (step < 1 || step > info.stepsPerBar) {
        return 0;
    }
    return info.stepCells[static_cast<std::size_t>(step - 1)];
}

// The step period of a tempo, in whole milliseconds with the remainder dropped: what the
// step clock's timer is started with.
constexpr int stepPeriodMs(TimeSig sig, int tempo) noexcept {
    return tempo > 0 ? timeSignatureInfo(sig).tempoConstant / tempo : 0;
}

} // namespace tambrel::engine
