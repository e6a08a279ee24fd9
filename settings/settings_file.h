#pragma once
// The settings file, $XDG_CONFIG_HOME/tambrel/tambrel.conf: "key = value" lines, '#'
// comment lines and blank lines, read at start and never written. Whatever is wrong in it
// is said in one line each and skipped, and the program starts all the same.

#include "settings/sync_settings.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tambrel::settings {

// A settings file is a few lines: anything larger is not one, and is not read.
inline constexpr std::size_t kMaxSettingsFileBytes = 64 * 1024;

struct SettingsFile {
    SyncChoices choices;
    // One line each, naming the file (and the line, with what it says); the program's own
    // name goes before them on standard error.
    std::vector<std::string> complaints;
};

// The file's text read as settings; `fileName` names it in the complaints. A line whose
// key is unknown, or that is no "key = value", is ignored; a bad value leaves its key off,
// and so does a switch that this build does not carry out yet.
SettingsFile readSettingsText(std::string_view text, const std::string& fileName);

// The file at `path`: nothing said when there is no such file (or no path), one complaint
// when it cannot be read.
SettingsFile readSettingsFile(const std::string& path);

// Where the file is, from the values of XDG_CONFIG_HOME and HOME (null when unset):
// XDG_CONFIG_HOME/tambrel/tambrel.conf, or HOME/.config/tambrel/tambrel.conf when
// XDG_CONFIG_HOME is unset, empty or not an absolute path; empty when neither will do.
std::string settingsFilePath(const char* xdgConfigHome, const char* home);

// The path above for this process's environment.
std::string userSettingsFilePath();

} // namespace tambrel::settings
