#pragma once
// What a screen reader is told about the window's controls beyond what Qt tells of
// itself. A step cell is a check box: named "Track 3 step 5", checked while the cell is
// on, and its "press" or "toggle" action does what a click does.

namespace tambrel::ui {

// Makes Qt ask us for the cells' accessible interfaces (once for the whole program).
void installAccessibility();

} // namespace tambrel::ui
