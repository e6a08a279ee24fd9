#pragma once
// The four time signatures: how many steps a bar has, which grid cell each step plays,
// how the grid's panels are laid out, and the tempo constant of the step period.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tambrel::engine {

inline constexpr int kTracks = 8;
inline constexpr int kCells = 16;

enum class TimeSig : std::uint8_t { FourFour = 0, TwelveEight = 1, ThreeFour = 2, SixEight = 3 };

struct TimeSignatureInfo {
    std::string_view text;
    int stepsPerBar;
    // Cell played by step 1, 2, ...; empty for "4/4", where step n plays cell n.
    std::span<const int> stepCells;
    int panelWidth;
    // Left edges of the b, c and d panels of every track; the first panel stays at 376.
    std::array<int, 3> panelLefts;
    bool dPanelsShown;
    int tempoConstant; // step period = tempoConstant / tempo, in whole milliseconds
};

inline constexpr int kFirstPanelLeft = 376;

const TimeSignatureInfo& timeSignatureInfo(TimeSig sig) noexcept;
inline std::string_view timeSignatureText(TimeSig sig) noexcept {
    return timeSignatureInfo(sig).text;
}

// Exact, case-sensitive: "4/4 " is not "4/4".
std::optional<TimeSig> timeSignatureFromText(std::string_view text) noexcept;

// The cell (1..16) that `step` (1-based) plays, or 0 for a step the bar does not have.
int cellForStep(TimeSig sig, int step) noexcept;

// Whether cell (1..16) is hidden from view under the signature.
bool cellHidden(TimeSig sig, int cell) noexcept;

} // namespace tambrel::engine
