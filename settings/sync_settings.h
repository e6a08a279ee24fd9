#pragma once
// The synchronisation switches: what each asks for, the values its key and its option take,
// how the settings file and the command line are put together, and the one-source-of-time
// rule. Every switch is off unless the file or the command line turns it on: with none set,
// Tambrel plays on its own clock and sends nothing but its notes.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tambrel::settings {

// A MIDI clock port: off, on with the port left for the user to connect, or on and
// connected to (clock out) or from (clock in) the JACK port named "client:port".
struct PortSwitch {
    bool on = false;
    std::string port; // empty: not connected by Tambrel

    bool operator==(const PortSwitch&) const = default;
};

// JACK transport: ignored, followed as the source of time, or led from Tambrel's playing.
enum class JackTransport { Off, Follow, Lead };

struct SyncSettings {
    PortSwitch midiClockOut;
    bool clockWhileStopped = false; // clocks go on while stopped, so gear shows the tempo
    PortSwitch midiClockIn;
    JackTransport jackTransport = JackTransport::Off;
    bool link = false;
    bool linkStartStop = false; // Play and Stop shared with the Link session

    bool operator==(const SyncSettings&) const = default;
};

// The switches, by the name of their file key: the long option without its dashes.
enum class Key { MidiClockOut, ClockWhileStopped, MidiClockIn, JackTransport, Link, LinkStartStop };

// How a key's value is written.
enum class ValueKind {
    Boolean,       // true/false, yes/no, on/off
    PortOrBoolean, // a boolean word, or a JACK port "client:port" that turns the switch on
    TransportMode, // off, follow or lead
};

struct KeyInfo {
    Key key;
    std::string_view name;
    ValueKind kind;
};

inline constexpr std::array<KeyInfo, 6> kKeys{{
    {Key::MidiClockOut, "midi-clock-out", ValueKind::PortOrBoolean},
    {Key::ClockWhileStopped, "clock-while-stopped", ValueKind::Boolean},
    {Key::MidiClockIn, "midi-clock-in", ValueKind::PortOrBoolean},
    {Key::JackTransport, "jack-transport", ValueKind::TransportMode},
    {Key::Link, "link", ValueKind::Boolean},
    {Key::LinkStartStop, "link-start-stop", ValueKind::Boolean},
}};

const KeyInfo& keyInfo(Key key);

// The key of that name, if there is one.
std::optional<Key> findKey(std::string_view name);

// The command-line option of the key: "--" and its name.
std::string optionName(Key key);

// What one source, the file or the command line, said: a value for each key it set,
// nothing for the others.
struct SyncChoices {
    std::optional<PortSwitch> midiClockOut;
    std::optional<bool> clockWhileStopped;
    std::optional<PortSwitch> midiClockIn;
    std::optional<JackTransport> jackTransport;
    std::optional<bool> link;
    std::optional<bool> linkStartStop;

    bool operator==(const SyncChoices&) const = default;
};

// Sets the key from the text of its value. Returns why the text is not a value of that
// key ("not off, follow or lead"), leaving the choices as they were.
std::optional<std::string> choose(SyncChoices& choices, Key key, std::string_view value);

// Whether the choices set the key to anything but off.
bool turnsOn(const SyncChoices& choices, Key key);

// Leaves the key unset again.
void forget(SyncChoices& choices, Key key);

// The settings in force: the command line's value for each key it set, the file's for the
// others, off for the rest. A source of time on the command line replaces the file's
// rather than clashing with it: the file's MIDI clock in, JACK transport follow and Link
// (with its start and stop) give way.
SyncSettings combine(const SyncChoices& file, const SyncChoices& commandLine);

// Why the settings contradict each other, in one line naming both options: two sources of
// time, or a switch without the one it needs. Nothing when they hold together.
std::optional<std::string> clash(const SyncSettings& settings);

} // namespace tambrel::settings
