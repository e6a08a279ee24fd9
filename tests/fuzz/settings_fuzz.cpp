// libFuzzer target: any bytes as the settings file, and as the value of any key. Reading must
// never crash; each complaint is one plain line that names the file; what is read holds only
// switches this build carries out, and written back as a file it reads the same, silently.

#include "settings/plain_text.h"
#include "settings/settings_file.h"
#include "settings/sync_settings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

namespace settings = tambrel::settings;
using settings::Key;

const std::string kFileName = "fuzz.conf";

void check(bool holds, const char* invariant) {
    if (!holds) {
        std::fprintf(stderr, "settings_fuzz: invariant broken: %s\n", invariant);
        std::abort();
    }
}

const char* word(bool on) {
    return on ? "on" : "off";
}

// The choices as a settings file would say them.
std::string fileSaying(const settings::SyncChoices& choices) {
    std::string text;
    const auto line = [&](Key key, std::string_view value) {
        text += std::string(settings::keyInfo(key).name) + " = " + std::string(value) + "\n";
    };
    const auto port = [&](Key key, const settings::PortSwitch& value) {
        line(key, value.port.empty() ? word(value.on) : value.port);
    };
    if (choices.midiClockOut) {
        port(Key::MidiClockOut, *choices.midiClockOut);
    }
    if (choices.clockWhileStopped) {
        line(Key::ClockWhileStopped, word(*choices.clockWhileStopped));
    }
    if (choices.midiClockIn) {
        port(Key::MidiClockIn, *choices.midiClockIn);
    }
    if (choices.jackTransport) {
        constexpr const char* kModes[] = {"off", "follow", "lead"};
        line(Key::JackTransport, kModes[static_cast<int>(*choices.jackTransport)]);
    }
    if (choices.link) {
        line(Key::Link, word(*choices.link));
    }
    if (choices.linkStartStop) {
        line(Key::LinkStartStop, word(*choices.linkStartStop));
    }
    return text;
}

void checkFile(std::string_view bytes) {
    const settings::SettingsFile read = settings::readSettingsText(bytes, kFileName);
    const auto lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
    check(read.complaints.size() <= lines, "at most one complaint a line");
    for (const std::string& complaint : read.complaints) {
        check(complaint.starts_with(kFileName + ":"), "a complaint names the file");
        check(settings::isPlainText(complaint), "a complaint is one line of plain text");
    }
    const settings::SettingsFile again = settings::readSettingsText(fileSaying(read.choices), "");
    check(again.complaints.empty() && again.choices == read.choices,
          "what was read, written back, reads the same without a word");
    // Laid over itself, the file says what it said; a clash names the options.
    const settings::SyncSettings settled = settings::combine(read.choices, read.choices);
    check(settled == settings::combine(read.choices, {}), "a file laid over itself is itself");
    if (const auto clash = settings::clash(settled)) {
        check(clash->starts_with("--"), "a clash names its options");
    }
}

// The bytes after the first as the value of the key the first picks, as a command-line
// option's value is taken.
void checkValue(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    const settings::KeyInfo& key =
        settings::kKeys[static_cast<unsigned char>(bytes.front()) % settings::kKeys.size()];
    settings::SyncChoices choices;
    const auto why = settings::choose(choices, key.key, bytes.substr(1));
    check(why.has_value() == (choices == settings::SyncChoices{}),
          "a value is taken, or refused with a reason and nothing set");
    if (choices.midiClockOut && !choices.midiClockOut->port.empty()) {
        check(settings::isPlainText(choices.midiClockOut->port), "a port name is plain text");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkFile(bytes);
    checkValue(bytes);
    return 0;
}
