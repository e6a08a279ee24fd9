#pragma once
// How the window lays the grid out under each time signature: the width of every cell
// group's panel, where the b, c and d panels start, whether the d panels show, and so
// which cells are in view. The cells in view are exactly the cells the steps play.

#include "engine/time_signature.h"

#include <array>

namespace tambrel::ui {

struct GridLayout {
    int panelWidth;
    // Left edges of the b, c and d panels of every track; the first panel stays put.
    std::array<int, 3> panelLefts;
    bool dPanelsShown;
};

inline constexpr int kFirstPanelLeft = 376;

const GridLayout& gridLayout(engine::TimeSig sig) noexcept;

// The left edge of a track's panel `group` (0 = the first, then b, c, d) under the
// signature. The window is built in 4/4's layout.
int panelLeft(engine::TimeSig sig, int group) noexcept;

// Every panel holds four cells in a row, whatever the signature clips of them.
inline constexpr int kCellsPerPanel = 4;

struct CellBox {
    int left;
    int top;
    int width;
    int height;
};

// Where the cell at `position` (0..3) sits within its panel.
constexpr CellBox cellBox(int position) noexcept {
    return {2 + 12 * position, 2, 10, 17};
}

// Whether cell (1..16) is out of view under the signature.
bool cellHidden(engine::TimeSig sig, int cell) noexcept;

// The step (1-based) that plays cell (1..16) under the signature, or 0 for a cell out of
// view: the number a user counts along the visible cells of a row.
int stepOfCell(engine::TimeSig sig, int cell) noexcept;

} // namespace tambrel::ui
