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

// Whether cell (1..16) is out of view under the signature.
bool cellHidden(engine::TimeSig sig, int cell) noexcept;

// The step (1-based) that plays cell (1..16) under the signature, or 0 for a cell out of
// view: the number a user counts along the visible cells of a row.
int stepOfCell(engine::TimeSig sig, int cell) noexcept;

} // namespace tambrel::ui
