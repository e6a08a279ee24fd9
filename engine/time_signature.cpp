#include "time_signature.h"

namespace tambrel::engine {

namespace {

constexpr std::array<int, 12> kTwelveEightCells = {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15};
constexpr std::array<int, 9> kThreeFourCells = {1, 2, 3, 5, 6, 7, 9, 10, 11};
constexpr std::array<int, 6> kSixEightCells = {1, 2, 5, 6, 9, 10};

const std::array<TimeSignatureInfo, 4> kSignatures = {{
    {"4/4", 16, {}, 51, {428, 480, 532}, true, 15000},
    {"12/8", 12, kTwelveEightCells, 39, {416, 456, 496}, true, 20000},
    {"3/4", 9, kThreeFourCells, 39, {416, 456, 0}, false, 20000},
    {"6/8", 6, kSixEightCells, 27, {404, 432, 0}, false, 30000},
}};

} // namespace

const TimeSignatureInfo& timeSignatureInfo(TimeSig sig) noexcept {
    return kSignatures[static_cast<std::size_t>(sig) & 3U];
}

std::optional<TimeSig> timeSignatureFromText(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kSignatures.size(); ++i) {
        if (kSignatures[i].text == text) {
            return static_cast<TimeSig>(i);
        }
    }
    return std::nullopt;
}

int cellForStep(TimeSig sig, int step) noexcept {
    const TimeSignatureInfo& info = timeSignatureInfo(sig);
    if (step < 1 || step > info.stepsPerBar) {
        return 0;
    }
    if (info.stepCells.empty()) {
        return step;
    }
    return info.stepCells[static_cast<std::size_t>(step - 1)];
}

bool cellHidden(TimeSig sig, int cell) noexcept {
    const TimeSignatureInfo& info = timeSignatureInfo(sig);
    if (cell % 4 == 0) {
        return sig != TimeSig::FourFour;
    }
    const int group = (cell - 1) / 4;    // 0 = first panel, then b, c, d
    const int position = (cell - 1) % 4; // within the panel
    if (group == 3 && !info.dPanelsShown) {
        return true;
    }
    // A narrowed panel clips the cells that fall outside it (6/8 clips the third).
    return 2 + 12 * position + 10 > info.panelWidth;
}

} // namespace tambrel::engine
