#pragma once
// The program's start: its command line, the application object, the machine over this
// computer's MIDI devices and the one window. main() is runProgram(); the tests start the
// window through startWindow() with their own devices and window.

#include "main_window.h"

#include "machine/machine.h"
#include "midiout/clock_sink.h"
#include "midiout/followed_time.h"
#include "midiout/transport_lead.h"
#include "settings/settings_file.h"
#include "settings/sync_settings.h"

#include <QApplication>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace tambrel::ui {

// The application object. An exception that escapes an event handler into the event
// loop is shown in a message box titled "Tambrel" and the program goes on: the handler's
// work stops where it threw, and everything else stays as it was.
class Application : public QApplication {
    Q_OBJECT
public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows an escaped exception's text (tests record it instead).
    virtual void showError(const QString& text);

    // The text shown for something thrown that is not a std::exception.
    static const QString kUnknownError;
};

// What the command line asks for.
struct CommandLine {
    // Set when the program is to end at once with this status (after --help, --version
    // or a wrong call, whose text is already written).
    std::optional<int> exitStatus;
    // The pattern file to load into the started window, if one was named.
    QString patternFile;
    // The synchronisation switches in force: the settings file's, with the command line's
    // over them key by key; all off when neither says anything. They hold together (no
    // clash) and ask only for what this build carries out.
    settings::SyncSettings sync;
};

// Reads the arguments (the program's name first) without needing a display: --help and
// --version write to standard output and end with 0; an unknown option, a second file, a
// bad value, a switch that this build does not carry out yet or a clash of switches (the
// settings file's and the command line's together) writes one line to standard error and
// ends with 2. `file` is the settings file as read: when the program is to run, each of its
// complaints is written to standard error first.
CommandLine parseCommandLine(const QStringList& arguments, const settings::SettingsFile& file = {});

// The started program: MIDI clock out's port and the transport's lead first, as the machine
// sends its Stop to both as it goes; then the machine, as the window mirrors it and goes
// before it.
struct StartedWindow {
    std::unique_ptr<midiout::FollowedSource> followed;
    std::unique_ptr<midiout::ClockSink> clockPort;
    std::unique_ptr<midiout::TransportLead> transportLead;
    std::unique_ptr<machine::Machine> machine;
    std::unique_ptr<TForm1> window;

    StartedWindow() = default;
    StartedWindow(StartedWindow&&) = default;
    StartedWindow& operator=(StartedWindow&&) = default;
    ~StartedWindow();
};

using WindowMaker = std::function<std::unique_ptr<TForm1>(machine::Machine&)>;

// Creates the window over the machine, runs FormCreate, shows it at the centre of the
// screen, then loads the command line's pattern file as the Load button does: a bad
// file shows the load message over the window, which keeps its start pattern. With a
// `clockPort`, MIDI clock goes out through it from the start (with the clocks while stopped
// when the options ask for them); with a `transportLead`, Play and Stop lead that transport;
// with `followed`, the steps follow that source of time instead of Tambrel's own clock.
StartedWindow startWindow(std::unique_ptr<machine::Machine> machine, const CommandLine& options,
                          const WindowMaker& makeWindow = {},
                          std::unique_ptr<midiout::ClockSink> clockPort = {},
                          std::unique_ptr<midiout::TransportLead> transportLead = {},
                          std::unique_ptr<midiout::FollowedSource> followed = {});

// The whole program, as main() runs it; returns its exit status.
int runProgram(int argc, char** argv);

} // namespace tambrel::ui
