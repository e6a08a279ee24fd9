#include "ui/grid_layout.h"

namespace tambrel::ui {

namespace {

// Indexed like the time signatures: 4/4, 12/8, 3/4, 6/8.
constexpr std::array<GridLayout, 4> kLayouts = {{
    {51, {428, 480, 532}, true},
    {39, {416, 456, 496}, true},
    {39, {416, 456, 0}, false},
    {27, {404, 432, 0}, false},
}};

} // namespace

const GridLayout& gridLayout(engine::TimeSig sig) noexcept {
    return kLayouts[static_cast<std::size_t>(sig) & 3U];
}

int panelLeft(engine::TimeSig sig, int group) noexcept {
    return group == 0 ? kFirstPanelLeft
                      : gridLayout(sig).panelLefts[static_cast<std::size_t>(group - 1) % 3U];
}

bool cellHidden(engine::TimeSig sig, int cell) noexcept {
    const GridLayout& layout = gridLayout(sig);
    if (cell % 4 == 0) {
        return sig != engine::TimeSig::FourFour;
    }
    const int group = (cell - 1) / kCellsPerPanel;    // 0 = first panel, then b, c, d
    const int position = (cell - 1) % kCellsPerPanel; // within the panel
    if (group == 3 && !layout.dPanelsShown) {
        return true;
    }
    // A narrowed panel clips the cells that fall outside it (6/8 clips the third).
    const CellBox box = cellBox(position);
    return box.left + box.width > layout.panelWidth;
}

int stepOfCell(engine::TimeSig sig, int cell) noexcept {
    for (int step = 1; step <= engine::stepsPerBar(sig); ++step) {
        if (engine::cellForStep(sig, step) == cell) {
            return step;
        }
    }
    return 0;
}

} // namespace tambrel::ui
