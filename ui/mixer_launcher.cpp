#include "ui/mixer_launcher.h"

#include "platform/program_start.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tambrel {

namespace {

// The graphical mixers, in the order we prefer them: the PulseAudio/PipeWire
// ones first since that is what most desktops route sound through today, then
// the desktops' own, then plain ALSA ones.
struct MixerCandidate {
    const char* name;
    std::vector<std::string> args;
};

const std::vector<MixerCandidate>& graphicalMixers() {
    static const std::vector<MixerCandidate> mixers = {
        {"pavucontrol", {}},    {"pwvucontrol", {}},
        {"pavucontrol-qt", {}}, {"gnome-control-center", {"sound"}},
        {"kmix", {}},           {"qasmixer", {}},
        {"alsamixergui", {}},
    };
    return mixers;
}

// alsamixer draws in a terminal, so it needs one to live in.
constexpr const char* textMixer = "alsamixer";
constexpr const char* terminals[] = {"x-terminal-emulator", "xterm"};

std::vector<std::string> splitPath(const std::string& pathVariable) {
    std::vector<std::string> folders;
    std::string::size_type start = 0;
    while (start <= pathVariable.size()) {
        auto end = pathVariable.find(':', start);
        if (end == std::string::npos) {
            end = pathVariable.size();
        }
        // An empty entry would mean "the current folder": whatever folder the
        // program happens to run in is no place to pick up a program from.
        if (end > start) {
            folders.push_back(pathVariable.substr(start, end - start));
        }
        start = end + 1;
    }
    return folders;
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> findProgram(const std::vector<std::string>& folders, const char* name) {
    for (const auto& folder : folders) {
        std::string candidate = folder;
        if (candidate.back() != '/') {
            candidate += '/';
        }
        candidate += name;
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<MixerCommand> findMixer(const std::string& pathVariable) {
    const auto folders = splitPath(pathVariable);
    if (folders.empty()) {
        return std::nullopt;
    }
    for (const auto& mixer : graphicalMixers()) {
        if (auto program = findProgram(folders, mixer.name)) {
            return MixerCommand{*program, mixer.args};
        }
    }
    if (auto alsamixer = findProgram(folders, textMixer)) {
        for (const char* terminal : terminals) {
            if (auto program = findProgram(folders, terminal)) {
                return MixerCommand{*program, {"-e", *alsamixer}};
            }
        }
    }
    return std::nullopt;
}

bool launchMixer() {
    const char* path = std::getenv("PATH");
    const auto command = findMixer(path != nullptr ? path : "");
    return command.has_value() && platform::startProgram(command->program, command->args);
}

} // namespace tambrel
