#pragma once
// The glyph icons and the help page are Qt resources compiled into the window's static
// library. The linker keeps them only when something registers them: every user calls
// this first, and the registration happens once for the whole program.

namespace tambrel {

void useResources();

} // namespace tambrel
