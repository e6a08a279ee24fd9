// tambrel-pattern: checks and tidies pattern files from scripts, with the very code the
// window uses, so what it prints is what the window's Save would write; and takes a
// pattern out of Tambrel, as a MIDI file or rendered to audio.

#include "export/loop.h"
#include "export/midi_file.h"
#include "machine/machine.h"
#include "patterns/pattern_file.h"
#include "patterns/presets.h"
#include "platform/files.h"
#include "platform/standard_streams.h"
#include "render_command.h"
#include "tambrel/about.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

namespace exporting = tambrel::exporting;
namespace patterns = tambrel::patterns;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr const char* kUsage =
    "Usage: tambrel-pattern COMMAND [ARGUMENT...]\n"
    "\n"
    "Commands:\n"
    "  normalize FILE     load the pattern file FILE as the window does and write the\n"
    "                     file the window's Save would then write to standard output\n"
    "  presets            list the built-in rhythms as \"group/caption\", in menu order\n"
    "  preset CAPTION     write the pattern file of the built-in rhythm CAPTION, as the\n"
    "                     window's Save writes it right after choosing that rhythm\n"
    "  midi (FILE | --preset CAPTION) OUT.mid [--bars N]\n"
    "                     write N bars (1 to 999, default 4) of the pattern file FILE or\n"
    "                     the built-in rhythm CAPTION to OUT.mid as a Standard MIDI File:\n"
    "                     the notes the window plays, on channel 10, at its exact speed\n"
    "  render (FILE | --preset CAPTION) OUT.wav [--bars N] [--rate 44100|48000]\n"
    "         [--soundfont SF2] [--float]\n"
    "                     render N bars of the pattern through the built-in synth (the\n"
    "                     first General MIDI soundfont found, unless SF2 is given) to\n"
    "                     OUT.wav: stereo, 16-bit (32-bit float with --float), at 48000\n"
    "                     samples a second unless told, with up to 3 s of ring at the end\n"
    "  --help             show this help\n"
    "  --version          show the version and the licence\n"
    "\n"
    "Exit status: 0 done, 1 the file or rhythm could not be used or the output could not\n"
    "be written (no partial output file is left), 2 a wrong call.\n";

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

// An export's call: "COMMAND (FILE | --preset CAPTION) OUT [options]", options anywhere.
struct ExportCall {
    exporting::LoopSource source;
    std::string output;
    int bars = exporting::kDefaultBars;
    tambrel::tools::RenderSettings render;
};

std::optional<int> wholeNumber(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

enum ExportOption { kPreset = 1, kBars, kRate, kSoundfont, kFloat };

// Takes one option's value into the call; what is wrong with it, if anything.
std::optional<std::string> takeOption(int option, const char* value, ExportCall& call,
                                      bool& preset) {
    switch (option) {
    case kPreset:
        if (preset) {
            return "--preset given twice";
        }
        preset = true;
        call.source = {exporting::LoopSource::Kind::Preset, value};
        return std::nullopt;
    case kBars: {
        const std::optional<int> bars = wholeNumber(value);
        if (!bars || *bars < exporting::kMinBars || *bars > exporting::kMaxBars) {
            return "--bars takes a whole number from " + std::to_string(exporting::kMinBars) +
                   " to " + std::to_string(exporting::kMaxBars);
        }
        call.bars = *bars;
        return std::nullopt;
    }
    case kRate: {
        const std::optional<int> rate = wholeNumber(value);
        if (!rate || std::find(std::begin(tambrel::exporting::kRenderRates),
                               std::end(tambrel::exporting::kRenderRates),
                               *rate) == std::end(tambrel::exporting::kRenderRates)) {
            return "--rate takes 44100 or 48000";
        }
        call.render.rate = *rate;
        return std::nullopt;
    }
    case kSoundfont:
        call.render.soundfont = value;
        return std::nullopt;
    case kFloat:
        call.render.floatSamples = true;
        return std::nullopt;
    default:
        return "unknown option";
    }
}

// The call, or what is wrong with it. Only render takes the options after --bars.
std::variant<ExportCall, std::string> readExportCall(int argc, char** argv) {
    const std::string command = argv[0];
    static const option kOptions[] = {
        {"preset", required_argument, nullptr, kPreset},
        {"bars", required_argument, nullptr, kBars},
        {"rate", required_argument, nullptr, kRate},
        {"soundfont", required_argument, nullptr, kSoundfont},
        {"float", no_argument, nullptr, kFloat},
        {nullptr, 0, nullptr, 0},
    };
    const bool render = command == "render";
    ExportCall call;
    bool preset = false;
    opterr = 0; // our own words, in our own format
    optind = 1;
    for (int got; (got = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
        if (got == '?' || got == ':' || (got > kBars && !render)) {
            return "unknown option or missing value: '" + std::string(argv[optind - 1]) + "'";
        }
        if (std::optional<std::string> wrong = takeOption(got, optarg, call, preset)) {
            return *wrong;
        }
    }
    const std::vector<std::string> operands(argv + optind, argv + argc);
    const std::size_t wanted = preset ? 1 : 2;
    if (operands.size() != wanted) {
        return command + (preset ? " --preset CAPTION takes one OUT file"
                                 : " takes a pattern FILE (or --preset CAPTION) and an OUT file");
    }
    if (!preset) {
        call.source = {exporting::LoopSource::Kind::File, operands.front()};
    }
    call.output = operands.back();
    return call;
}

// The machine with the call's pattern loaded, or the message why not (already printed).
bool loadCall(const ExportCall& call, tambrel::machine::Machine& machine) {
    if (const std::optional<std::string> why = exporting::loadSource(machine, call.source)) {
        const char* hint = call.source.kind == exporting::LoopSource::Kind::Preset
                               ? " (tambrel-pattern presets lists them)"
                               : "";
        fail(call.source.shown() + ": " + *why + hint);
        return false;
    }
    return true;
}

// An output that is one of the files read (the pattern, or the soundfont) would destroy it:
// refused before anything is read or written, however the two names are spelled (a
// relative path, "./", a link or a second hard link all name the same file).
std::optional<std::string> overwritesAnInput(const ExportCall& call) {
    std::vector<std::string> inputs;
    if (call.source.kind == exporting::LoopSource::Kind::File) {
        inputs.push_back(call.source.name);
    }
    if (!call.render.soundfont.empty()) {
        inputs.push_back(call.render.soundfont);
    }
    for (const std::string& input : inputs) {
        std::error_code error; // a missing file is no input to lose
        if (std::filesystem::equivalent(input, call.output, error)) {
            return "'" + input + "' and '" + call.output +
                   "' are the same file: writing it would destroy the input";
        }
    }
    return std::nullopt;
}

int exportLoop(const ExportCall& call, bool render) {
    if (const std::optional<std::string> why = overwritesAnInput(call)) {
        return fail(*why);
    }
    StartedMachine started;
    if (!loadCall(call, started.machine)) {
        return kFailed;
    }
    const exporting::Loop loop = exporting::playedLoop(started.machine, call.bars);
    if (render) {
        if (const std::optional<std::string> why =
                tambrel::tools::renderLoopToWav(loop, call.render, call.output)) {
            return fail(*why);
        }
        return kOk;
    }
    const std::string bytes = exporting::standardMidiFile(loop, call.source.title());
    if (const std::optional<std::string> why = tambrel::platform::replaceFile(call.output, bytes)) {
        return fail(call.output + ": " + *why);
    }
    return kOk;
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
    if (command == "--version") {
        if (argc != 2) {
            return usageError("--version takes no argument");
        }
        return writeAll(std::string("tambrel-pattern ") + tambrel::kVersion + "\n" +
                        tambrel::kLicenceNotice)
                   ? kOk
                   : kFailed;
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
    if (command == "midi" || command == "render") {
        std::variant<ExportCall, std::string> call = readExportCall(argc - 1, argv + 1);
        if (const std::string* wrong = std::get_if<std::string>(&call)) {
            return usageError(*wrong);
        }
        try {
            return exportLoop(std::get<ExportCall>(call), command == "render");
        } catch (const std::exception& error) {
            return fail(error.what());
        }
    }
    return usageError("unknown command '" + std::string(command) + "'");
}
