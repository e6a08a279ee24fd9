#pragma once

// The Volume button's work: find the desktop's audio mixer program and start it
// as a program of its own. Plain C++ (no Qt) so that it is tested without a display;
// it sits in ui/ because only the window's Volume button uses it. Starting a program
// is the operating system's part and lives in platform/.

#include <optional>
#include <string>
#include <vector>

namespace tambrel {

// One way to start a mixer: the program's full path and its arguments (not
// counting the program itself).
struct MixerCommand {
    std::string program;
    std::vector<std::string> args;

    bool operator==(const MixerCommand&) const = default;
};

// Looks through the folders of a PATH-style list ("dir1:dir2:...") for the
// mixers we know, best first: pavucontrol, pwvucontrol, pavucontrol-qt,
// gnome-control-center (its "sound" panel), kmix, qasmixer, alsamixergui, and
// last alsamixer inside a terminal (x-terminal-emulator, else xterm). The first
// mixer of that list found in any folder wins; for one mixer, the earlier folder
// wins. Only regular files that we may execute count. Empty entries are skipped.
std::optional<MixerCommand> findMixer(const std::string& pathVariable);

// What Volume does: look in the PATH this process has now and start the first
// mixer found as a program of its own (platform/program_start.h). False when none
// is found or it could not be started.
[[nodiscard]] bool launchMixer();

} // namespace tambrel
