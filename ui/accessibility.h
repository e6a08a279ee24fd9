#pragma once
// What a screen reader is told about the window's controls beyond what Qt tells of
// itself: every accessible name and description the window gives. A step cell is a check
// box: named "Track 3 step 5", checked while the cell is on, and its "press" or "toggle"
// action does what a click does.

#include "engine/time_signature.h"

#include <array>
#include <string>
#include <string_view>

class CellLabel;
class QWidget;
class UpDown;

namespace tambrel::ui {

// Makes Qt ask us for the cells' accessible interfaces (once for the whole program).
void installAccessibility();

// The fixed texts of the window's controls, found by their names: buttons, the spinners'
// arrows, the track rows' volume sliders and instrument boxes.
void describeControls(QWidget& window);

// What the three spinners (device, tempo, time signature) set, as the labels beside them
// show it: the spinner's name and its arrows' description.
struct SpinnerValues {
    int deviceNumber;
    const std::string& deviceName;
    int tempo;
    std::string_view timeSignature;
};
void describeSpinners(const std::array<UpDown*, 3>& upDowns, const SpinnerValues& values);

// Names each cell by the step it plays under the signature, or by its place when out of
// view.
using CellRows = std::array<std::array<CellLabel*, engine::kCells>, engine::kTracks>;
void nameCells(const CellRows& cells, engine::TimeSig sig);

} // namespace tambrel::ui
