#include "settings/sync_settings.h"

#include "settings/plain_text.h"

#include <vector>

namespace tambrel::settings {

namespace {

constexpr std::string_view kNotBoolean = "not true, false, yes, no, on or off";
constexpr std::string_view kNotPort =
    "not a JACK port (client:port), nor true, false, yes, no, on or off";
constexpr std::string_view kNotTransportMode = "not off, follow or lead";

// JACK's longest full port name, "client:port", in bytes.
constexpr std::size_t kMaxPortNameBytes = 255;

std::optional<bool> booleanWord(std::string_view text) {
    if (text == "true" || text == "yes" || text == "on") {
        return true;
    }
    if (text == "false" || text == "no" || text == "off") {
        return false;
    }
    return std::nullopt;
}

bool isPortName(std::string_view text) {
    const std::size_t colon = text.find(':');
    return colon != std::string_view::npos && colon > 0 && colon + 1 < text.size() &&
           text.size() <= kMaxPortNameBytes && isPlainText(text);
}

// Each sets `into` from the text of a value of its kind, or says why it cannot.
std::optional<std::string> read(std::string_view text, std::optional<bool>& into) {
    const std::optional<bool> word = booleanWord(text);
    if (!word) {
        return std::string(kNotBoolean);
    }
    into = *word;
    return std::nullopt;
}

std::optional<std::string> read(std::string_view text, std::optional<PortSwitch>& into) {
    if (const std::optional<bool> word = booleanWord(text)) {
        into = PortSwitch{*word, {}};
    } else if (isPortName(text)) {
        into = PortSwitch{true, std::string(text)};
    } else {
        return std::string(kNotPort);
    }
    return std::nullopt;
}

std::optional<std::string> read(std::string_view text, std::optional<JackTransport>& into) {
    if (text == "off") {
        into = JackTransport::Off;
    } else if (text == "follow") {
        into = JackTransport::Follow;
    } else if (text == "lead") {
        into = JackTransport::Lead;
    } else {
        return std::string(kNotTransportMode);
    }
    return std::nullopt;
}

bool isOn(bool value) {
    return value;
}
bool isOn(const PortSwitch& value) {
    return value.on;
}
bool isOn(JackTransport value) {
    return value != JackTransport::Off;
}

// Calls `visit` with the key's member of the choices, whatever its type.
template <class Choices, class Visit>
decltype(auto) visitChoice(Choices& choices, Key key, Visit&& visit) {
    switch (key) {
    case Key::MidiClockOut:
        return visit(choices.midiClockOut);
    case Key::ClockWhileStopped:
        return visit(choices.clockWhileStopped);
    case Key::MidiClockIn:
        return visit(choices.midiClockIn);
    case Key::JackTransport:
        return visit(choices.jackTransport);
    case Key::Link:
        return visit(choices.link);
    case Key::LinkStartStop:
        break;
    }
    return visit(choices.linkStartStop);
}

template <class T> void overlay(std::optional<T>& into, const std::optional<T>& from) {
    if (from) {
        into = from;
    }
}

bool setsSourceOfTime(const SyncChoices& choices) {
    return turnsOn(choices, Key::MidiClockIn) || turnsOn(choices, Key::Link) ||
           choices.jackTransport == JackTransport::Follow;
}

} // namespace

const KeyInfo& keyInfo(Key key) {
    for (const KeyInfo& info : kKeys) {
        if (info.key == key) {
            return info;
        }
    }
    return kKeys.front(); // every key has its entry
}

std::optional<Key> findKey(std::string_view name) {
    for (const KeyInfo& info : kKeys) {
        if (info.name == name) {
            return info.key;
        }
    }
    return std::nullopt;
}

std::string optionName(Key key) {
    return "--" + std::string(keyInfo(key).name);
}

std::optional<std::string> choose(SyncChoices& choices, Key key, std::string_view value) {
    return visitChoice(choices, key, [&](auto& choice) { return read(value, choice); });
}

bool turnsOn(const SyncChoices& choices, Key key) {
    return visitChoice(choices, key,
                       [](const auto& choice) { return choice.has_value() && isOn(*choice); });
}

void forget(SyncChoices& choices, Key key) {
    visitChoice(choices, key, [](auto& choice) { choice.reset(); });
}

SyncSettings combine(const SyncChoices& file, const SyncChoices& commandLine) {
    SyncChoices chosen = file;
    if (setsSourceOfTime(commandLine)) {
        forget(chosen, Key::MidiClockIn);
        forget(chosen, Key::Link);
        forget(chosen, Key::LinkStartStop);
        if (chosen.jackTransport == JackTransport::Follow) {
            forget(chosen, Key::JackTransport);
        }
    }
    overlay(chosen.midiClockOut, commandLine.midiClockOut);
    overlay(chosen.clockWhileStopped, commandLine.clockWhileStopped);
    overlay(chosen.midiClockIn, commandLine.midiClockIn);
    overlay(chosen.jackTransport, commandLine.jackTransport);
    overlay(chosen.link, commandLine.link);
    overlay(chosen.linkStartStop, commandLine.linkStartStop);

    const SyncSettings off;
    return {chosen.midiClockOut.value_or(off.midiClockOut),
            chosen.clockWhileStopped.value_or(off.clockWhileStopped),
            chosen.midiClockIn.value_or(off.midiClockIn),
            chosen.jackTransport.value_or(off.jackTransport),
            chosen.link.value_or(off.link),
            chosen.linkStartStop.value_or(off.linkStartStop)};
}

std::optional<std::string> clash(const SyncSettings& settings) {
    // Tambrel's own clock is the source when none of these is on.
    std::vector<std::string> sources;
    if (settings.midiClockIn.on) {
        sources.push_back(optionName(Key::MidiClockIn));
    }
    if (settings.jackTransport == JackTransport::Follow) {
        sources.push_back(optionName(Key::JackTransport) + "=follow");
    }
    if (settings.link) {
        sources.push_back(optionName(Key::Link));
    }
    if (sources.size() > 1) {
        return sources[0] + " and " + sources[1] + ": one source of time at a time";
    }
    const auto needs = [](Key key, Key needed) {
        return optionName(key) + " needs " + optionName(needed);
    };
    if (settings.linkStartStop && !settings.link) {
        return needs(Key::LinkStartStop, Key::Link);
    }
    if (settings.clockWhileStopped && !settings.midiClockOut.on) {
        return needs(Key::ClockWhileStopped, Key::MidiClockOut);
    }
    return std::nullopt;
}

} // namespace tambrel::settings
