#include "settings/settings_file.h"

#include "settings/plain_text.h"

#include "platform/files.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tambrel::settings {

namespace {

namespace fs = std::filesystem;

// Enough of a line to recognise it; the rest of a long one is left out of its complaint.
constexpr std::size_t kShownLineBytes = 80;

constexpr std::string_view kTooLarge = "larger than 64 KiB, not read";

// Blanks around keys and values, and the CR of a CR LF line end.
std::string_view trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\f\v";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string wholeFileComplaint(const std::string& fileName, std::string_view why) {
    return fileName + ": " + std::string(why) + "; every setting off";
}

// Reads one line (blanks trimmed) into the settings; `where` is "file:line".
void readLine(SettingsFile& read, std::string_view line, const std::string& where) {
    if (line.empty() || line.front() == '#') {
        return;
    }
    const auto complain = [&](std::string_view why) {
        read.complaints.push_back(where + ": \"" + shownText(line, kShownLineBytes) +
                                  "\": " + std::string(why));
    };
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        complain("not key = value; ignored");
        return;
    }
    const std::optional<Key> key = findKey(trimmed(line.substr(0, equals)));
    if (!key) {
        complain("unknown key; ignored");
        return;
    }
    if (const auto why = choose(read.choices, *key, trimmed(line.substr(equals + 1)))) {
        // The key's default, whatever an earlier line said of it.
        forget(read.choices, *key);
        complain(*why + "; using off");
    }
}

} // namespace

SettingsFile readSettingsText(std::string_view text, const std::string& fileName) {
    SettingsFile read;
    if (text.size() > kMaxSettingsFileBytes) {
        read.complaints.push_back(wholeFileComplaint(fileName, kTooLarge));
        return read;
    }
    // A byte order mark, which some editors write first.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    for (std::size_t number = 1; !text.empty(); ++number) {
        const std::size_t end = text.find('\n');
        readLine(read, trimmed(text.substr(0, end)), fileName + ":" + std::to_string(number));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return read;
}

SettingsFile readSettingsFile(const std::string& path) {
    std::error_code error;
    if (path.empty() || fs::status(path, error).type() == fs::file_type::not_found) {
        return {}; // nothing said: every switch off
    }
    const platform::FileRead read = platform::readRegularFile(path, kMaxSettingsFileBytes);
    if (read.bytes) {
        return readSettingsText(*read.bytes, path);
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (!error && size > kMaxSettingsFileBytes) {
        return {{}, {wholeFileComplaint(path, kTooLarge)}};
    }
    return {{}, {wholeFileComplaint(path, "cannot be read (" + read.error + ")")}};
}

std::string settingsFilePath(const char* xdgConfigHome, const char* home) {
    const auto absolute = [](const char* folder) {
        return folder != nullptr && fs::path(folder).is_absolute();
    };
    if (absolute(xdgConfigHome)) {
        return (fs::path(xdgConfigHome) / "tambrel" / "tambrel.conf").string();
    }
    if (absolute(home)) {
        return (fs::path(home) / ".config" / "tambrel" / "tambrel.conf").string();
    }
    return {};
}

std::string userSettingsFilePath() {
    return settingsFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

} // namespace tambrel::settings
