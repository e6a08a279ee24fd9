#pragma once
// The glyph icons, the help page and the program's icon are Qt resources compiled into
// the window's static library. The linker keeps them only when something registers
// them: every user calls this first, and the registration happens once for the whole
// program.

class QIcon;

namespace tambrel {

void useResources();

// The program's icon, as the desktop's menu shows it, at every size it is drawn in.
QIcon applicationIcon();

} // namespace tambrel
