// tambrel-pattern: checks and tidies pattern files from scripts, with the very code the
// window uses, so what it prints is what the window's Save would write.

#include "machine/machine.h"
#include "patterns/pattern_file.h"
#include "patterns/presets.h"
#include "platform/standard_streams.h"

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

namespace {

namespace patterns = tambrel::patterns;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr const char* kUsage =
    "Usage: tambrel-pattern COMMAND [ARGUMENT]\n"
    "\n"
    "Commands:\n"
    "  normalize FILE     load the pattern file FILE as the window does and write the\n"
    "                     file the window's Save would then write to standard output\n"
    "  presets            list the built-in rhythms as \"group/caption\", in menu order\n"
    "  preset CAPTION     write the pattern file of the built-in rhythm CAPTION, as the\n"
    "                     window's Save writes it right after choosing that rhythm\n"
    "  --help             show this help\n"
    "\n"
    "Exit status: 0 done, 1 the file or rhythm could not be used, 2 a wrong call.\n";

// The window's messages are padded for its message box; a terminal wants the words.
std::string trimmed(std::string_view message) {
    const std::size_t first = message.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = message.find_last_not_of(' ');
    return std::string(message.substr(first, last - first + 1));
}

int fail(std::string_view message) {
    std::fprintf(stderr, "tambrel-pattern: %.*s\n", static_cast<int>(message.size()),
                 message.data());
    return kFailed;
}

int usageError(std::string_view message) {
    std::fprintf(stderr,
                 "tambrel-pattern: %.*s\nTry 'tambrel-pattern --help' for more information.\n",
                 static_cast<int>(message.size()), message.data());
    return kUsageError;
}

bool writeAll(std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
           std::fflush(stdout) == 0;
}

// What the window's Save writes for the machine's state.
int save(const tambrel::machine::Machine& machine) {
    std::string bytes;
    try {
        bytes = patterns::WritePatternText(patterns::BuildPatternLines(machine));
    } catch (const std::exception&) {
        return fail(trimmed(patterns::kSaveErrorMessage));
    }
    if (!writeAll(bytes)) {
        return fail("cannot write to standard output");
    }
    return kOk;
}

// A machine as the window starts it, with no MIDI output devices.
struct StartedMachine {
    StartedMachine() { machine.device().startup(); }
    tambrel::machine::Machine machine;
};

int normalize(const std::string& path) {
    StartedMachine started;
    std::string reason;
    bool loaded = false;
    try {
        loaded = patterns::loadPatternFile(started.machine, path, &reason);
    } catch (const std::exception& error) {
        reason = error.what();
    }
    if (!loaded) {
        fail(trimmed(patterns::kLoadErrorMessage));
        return fail(path + ": " + reason);
    }
    return save(started.machine);
}

int listPresets() {
    std::string text;
    for (const patterns::Preset& preset : patterns::allPresets()) {
        text.append(preset.group);
        text += '/';
        text.append(preset.caption);
        text += '\n';
    }
    return writeAll(text) ? kOk : fail("cannot write to standard output");
}

int preset(const std::string& caption) {
    const patterns::Preset* found = patterns::findPreset(caption);
    if (found == nullptr) {
        return fail("no built-in rhythm is called \"" + caption +
                    "\" (tambrel-pattern presets lists them)");
    }
    StartedMachine started;
    try {
        patterns::applyPreset(started.machine, *found);
    } catch (const std::exception& error) {
        fail(trimmed(patterns::kPresetErrorMessage));
        return fail(error.what());
    }
    return save(started.machine);
}

} // namespace

int main(int argc, char** argv) {
    // The same bytes as on every other platform: a pattern file keeps its CR LF.
    tambrel::platform::useBinaryStandardStreams();
    if (argc < 2) {
        return usageError("missing command");
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h") {
        if (argc != 2) {
            return usageError("--help takes no argument");
        }
        return writeAll(kUsage) ? kOk : kFailed;
    }
    if (command == "presets") {
        if (argc != 2) {
            return usageError("presets takes no argument");
        }
        return listPresets();
    }
    if (command == "normalize" || command == "preset") {
        if (argc != 3) {
            return usageError(std::string(command) +
                              (command == "normalize" ? " takes one FILE" : " takes one CAPTION"));
        }
        return command == "normalize" ? normalize(argv[2]) : preset(argv[2]);
    }
    return usageError("unknown command '" + std::string(command) + "'");
}
