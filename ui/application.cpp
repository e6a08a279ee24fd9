#include "ui/application.h"
#include "backends/device_list.h"

#include "ui/resources.h"

#include "settings/plain_text.h"

#include "midiout/midi_out.h"
#include "tambrel/about.h"

#include <QCommandLineParser>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>

#include <cstdio>
#include <exception>
#include <vector>

namespace tambrel::ui {

const QString Application::kUnknownError = QStringLiteral("Unknown error");

namespace {

constexpr int kUsageError = 2;
constexpr int kWriteError = 1;

// True when every byte went out: the help or version that could not be written (a full
// disk, a closed pipe) is a failure, as with any other command-line program.
bool writeTo(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    const bool written = std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()),
                                     stream) == static_cast<std::size_t>(bytes.size());
    return std::fflush(stream) == 0 && written;
}

QString errorText(const std::exception& error) {
    return QString::fromLocal8Bit(error.what());
}

const QString kProgram = QStringLiteral("tambrel");

// Enough of a value typed on the command line to recognise it in a refusal.
constexpr std::size_t kShownValueBytes = 80;

// One line on standard error, after the program's name, as command-line programs say what
// went wrong.
bool writeErrorLine(const QString& line) {
    return writeTo(stderr, QStringLiteral("%1: %2\n").arg(kProgram, line));
}

// What --help says of each switch; a switch this build does not carry out yet is hidden.
QString syncOptionHelp(settings::Key key) {
    switch (key) {
    case settings::Key::MidiClockOut:
        return QStringLiteral("Sends MIDI clock on the JACK MIDI output port \"Tambrel:clock "
                              "out\", connected to PORT (client:port) when given, as "
                              "--midi-clock-out=PORT.");
    case settings::Key::ClockWhileStopped:
        return QStringLiteral("With --midi-clock-out: the clock goes on while stopped, so that "
                              "connected gear shows the tempo.");
    case settings::Key::MidiClockIn:
        return QStringLiteral("Follows MIDI clock from the JACK MIDI input port \"Tambrel:clock "
                              "in\", connected from PORT when given, as --midi-clock-in=PORT.");
    case settings::Key::JackTransport:
        return QStringLiteral("With lead: Play and Stop start and stop the JACK transport, and "
                              "Tambrel publishes its bars and tempo as the timebase master "
                              "unless another program is. With follow: Tambrel plays when the "
                              "transport rolls, in its bars and tempo, and Play and Stop start "
                              "and stop the transport.");
    case settings::Key::Link:
        return QStringLiteral("Plays in time with an Ableton Link session.");
    case settings::Key::LinkStartStop:
        break;
    }
    return QStringLiteral("With --link: Play and Stop are shared with the session.");
}

struct SyncOption {
    settings::KeyInfo key;
    QCommandLineOption option;
};

std::vector<SyncOption> addSyncOptions(QCommandLineParser& parser) {
    std::vector<SyncOption> options;
    for (const settings::KeyInfo& key : settings::kKeys) {
        QCommandLineOption option(QString::fromLatin1(key.name), syncOptionHelp(key.key));
        if (key.kind == settings::ValueKind::PortOrBoolean) {
            option.setValueName(QStringLiteral("PORT"));
        } else if (key.kind == settings::ValueKind::TransportMode) {
            option.setValueName(QStringLiteral("MODE"));
        }
        parser.addOption(option);
        options.push_back({key, option});
    }
    return options;
}

// QCommandLineParser knows no option whose value may be left out: a bare --midi-clock-out
// (or --midi-clock-in) becomes --midi-clock-out= before parsing, which turns it on with its
// port unconnected. A port is taken after '=' only, so "--midi-clock-out song.qel" still
// opens song.qel.
QStringList withBarePortOptions(QStringList arguments) {
    for (qsizetype i = 1; i < arguments.size() && arguments[i] != QStringLiteral("--"); ++i) {
        for (const settings::KeyInfo& key : settings::kKeys) {
            if (key.kind == settings::ValueKind::PortOrBoolean &&
                arguments[i] == QStringLiteral("--") + QString::fromLatin1(key.name)) {
                arguments[i] += QLatin1Char('=');
            }
        }
    }
    return arguments;
}

QString helpText(const QCommandLineParser& parser) {
    // Qt names the program by its path; the help speaks of it by its name.
    QString text = parser.helpText();
    text.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                 QStringLiteral("Usage: ") + kProgram);
    // Qt writes every value as "<PORT>"; a port is optional, and follows '=' (same width, so
    // the columns stay).
    text.replace(QStringLiteral(" <PORT>"), QStringLiteral("[=PORT]"));
    // JACK transport's value follows '=' (same width, so the columns stay).
    text.replace(QStringLiteral(" <MODE>"), QStringLiteral("=MODE  "));
    return text;
}

// The switches the command line sets, laid over the file's: why they cannot be taken (a
// bad value, a switch not carried out yet, a clash), or nothing with `settled` set.
std::optional<QString> settleSync(const QCommandLineParser& parser,
                                  const std::vector<SyncOption>& options,
                                  const settings::SyncChoices& file,
                                  settings::SyncSettings& settled) {
    settings::SyncChoices given;
    for (const SyncOption& sync : options) {
        if (!parser.isSet(sync.option)) {
            continue;
        }
        // A flag, or a port option given bare, turns its switch on.
        const QString value =
            sync.key.kind == settings::ValueKind::Boolean ? QString() : parser.value(sync.option);
        const std::string text =
            value.isEmpty() && sync.key.kind != settings::ValueKind::TransportMode
                ? std::string("on")
                : value.toStdString();
        if (const auto why = settings::choose(given, sync.key.key, text)) {
            return QStringLiteral("--%1=%2: %3")
                .arg(QString::fromLatin1(sync.key.name),
                     QString::fromStdString(settings::shownText(text, kShownValueBytes)),
                     QString::fromStdString(*why));
        }
    }
    settled = settings::combine(file, given);
    if (const auto clash = settings::clash(settled)) {
        return QString::fromStdString(*clash);
    }
    return std::nullopt;
}

} // namespace

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(TForm1::kTitle);
    setApplicationDisplayName(TForm1::kTitle);
    setApplicationVersion(QStringLiteral(TAMBREL_VERSION));
    // Ties the windows to the installed menu entry and its icon (Wayland's app id).
    setDesktopFileName(QStringLiteral(TAMBREL_APP_ID));
    setWindowIcon(applicationIcon());
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        showError(errorText(error));
    } catch (...) {
        showError(kUnknownError);
    }
    return false;
}

void Application::showError(const QString& text) {
    QMessageBox box(QMessageBox::Critical, TForm1::kTitle, text, QMessageBox::Ok, activeWindow());
    box.exec();
}

CommandLine parseCommandLine(const QStringList& arguments, const settings::SettingsFile& file) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tambrel, a drum machine: plays a one-bar drum pattern in a loop on a "
                       "MIDI output.\nThe options other than --help and --version can also be "
                       "set in the\nsettings file, ~/.config/tambrel/tambrel.conf (see "
                       "tambrel(1))."));
    // Not addHelpOption(): its --help-all lists Qt's own options, which are not taken
    // here (they are read before the application object exists).
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const std::vector<SyncOption> syncOptions = addSyncOptions(parser);
    parser.addPositionalArgument(QStringLiteral("FILE.qel"),
                                 QStringLiteral("A pattern file to open, as the Load button "
                                                "does."),
                                 QStringLiteral("[FILE.qel]"));

    CommandLine result;
    if (!parser.parse(withBarePortOptions(arguments))) {
        writeErrorLine(parser.errorText());
        result.exitStatus = kUsageError;
    } else if (parser.isSet(help)) {
        result.exitStatus = writeTo(stdout, helpText(parser)) ? 0 : kWriteError;
    } else if (parser.isSet(version)) {
        const QString about = QStringLiteral("%1 %2\n%3")
                                  .arg(kProgram, QStringLiteral(TAMBREL_VERSION),
                                       QString::fromUtf8(tambrel::kLicenceNotice));
        result.exitStatus = writeTo(stdout, about) ? 0 : kWriteError;
    } else if (parser.positionalArguments().size() > 1) {
        writeErrorLine(QStringLiteral("one pattern file at a time"));
        result.exitStatus = kUsageError;
    } else {
        result.patternFile = parser.positionalArguments().value(0);
        for (const std::string& complaint : file.complaints) {
            writeErrorLine(QString::fromStdString(complaint));
        }
        if (const auto refusal = settleSync(parser, syncOptions, file.choices, result.sync)) {
            writeErrorLine(*refusal);
            result.exitStatus = kUsageError;
        }
    }
    return result;
}

StartedWindow::~StartedWindow() {
    window.reset();
    machine.reset();
}

StartedWindow startWindow(std::unique_ptr<machine::Machine> machine, const CommandLine& options,
                          const WindowMaker& makeWindow,
                          std::unique_ptr<midiout::ClockSink> clockPort,
                          std::unique_ptr<midiout::TransportLead> transportLead,
                          std::unique_ptr<midiout::FollowedSource> followed) {
    StartedWindow started;
    started.followed = std::move(followed);
    started.clockPort = std::move(clockPort);
    started.transportLead = std::move(transportLead);
    started.machine = std::move(machine);
    if (started.clockPort) {
        started.machine->engine().setClockOut(started.clockPort.get(),
                                              options.sync.clockWhileStopped);
    }
    started.machine->engine().setTransportLead(started.transportLead.get());
    started.machine->engine().setFollowedSource(started.followed.get());
    started.window =
        makeWindow ? makeWindow(*started.machine) : std::make_unique<TForm1>(*started.machine);
    TForm1& window = *started.window;
    window.FormCreate();
    if (const QScreen* screen = window.screen()) {
        window.move(screen->availableGeometry().center() - window.rect().center());
    }
    window.show();
    if (!options.patternFile.isEmpty()) {
        window.openPatternFile(options.patternFile);
    }
    return started;
}

int runProgram(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    // Before the application object, which needs a display.
    const CommandLine options =
        parseCommandLine(arguments, settings::readSettingsFile(settings::userSettingsFilePath()));
    if (options.exitStatus) {
        return *options.exitStatus;
    }

    Application app(argc, argv);
    StartedWindow started;
    try {
        const settings::PortSwitch& clockOut = options.sync.midiClockOut;
        const settings::PortSwitch& clockIn = options.sync.midiClockIn;
        backends::SyncRequest request;
        request.clockDestination =
            clockOut.on ? std::optional<std::string>(clockOut.port) : std::nullopt;
        request.leadTransport = options.sync.jackTransport == settings::JackTransport::Lead;
        request.clockSource = clockIn.on ? std::optional<std::string>(clockIn.port) : std::nullopt;
        request.followTransport = options.sync.jackTransport == settings::JackTransport::Follow;
        request.link = options.sync.link;
        request.linkStartStop = options.sync.linkStartStop;
        backends::Outputs outputs = backends::discoverOutputs(request);
        // The window starts all the same: the notes need neither the clocks nor the transport,
        // and without the time it follows, Tambrel plays on its own.
        for (const std::string& why : {outputs.clockWhy, outputs.transportWhy, outputs.followWhy}) {
            if (!why.empty()) {
                writeErrorLine(QString::fromStdString(why));
            }
        }
        started = startWindow(std::make_unique<machine::Machine>(std::move(outputs.devices)),
                              options, {}, std::move(outputs.clockPort),
                              std::move(outputs.transportLead), std::move(outputs.followed));
    } catch (const std::exception& error) {
        app.showError(errorText(error));
        return 1;
    } catch (...) {
        app.showError(Application::kUnknownError);
        return 1;
    }
    return QApplication::exec();
}

} // namespace tambrel::ui
