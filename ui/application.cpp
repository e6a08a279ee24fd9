#include "ui/application.h"
#include "backends/device_list.h"

#include "ui/resources.h"

#include "midiout/midi_out.h"
#include "tambrel/about.h"

#include <QCommandLineParser>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>

#include <cstdio>
#include <exception>

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

CommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tambrel, a drum machine: plays a one-bar drum pattern in a loop on a "
                       "MIDI output."));
    // Not addHelpOption(): its --help-all lists Qt's own options, which are not taken
    // here (they are read before the application object exists).
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE.qel"),
                                 QStringLiteral("A pattern file to open, as the Load button "
                                                "does."),
                                 QStringLiteral("[FILE.qel]"));

    const QString program = QStringLiteral("tambrel");
    CommandLine result;
    if (!parser.parse(arguments)) {
        writeTo(stderr, QStringLiteral("%1: %2\n").arg(program, parser.errorText()));
        result.exitStatus = kUsageError;
    } else if (parser.isSet(help)) {
        // Qt names the program by its path; the help speaks of it by its name.
        QString text = parser.helpText();
        text.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                     QStringLiteral("Usage: ") + program);
        result.exitStatus = writeTo(stdout, text) ? 0 : kWriteError;
    } else if (parser.isSet(version)) {
        const QString about = QStringLiteral("%1 %2\n%3")
                                  .arg(program, QStringLiteral(TAMBREL_VERSION),
                                       QString::fromUtf8(tambrel::kLicenceNotice));
        result.exitStatus = writeTo(stdout, about) ? 0 : kWriteError;
    } else if (parser.positionalArguments().size() > 1) {
        writeTo(stderr, QStringLiteral("%1: one pattern file at a time\n").arg(program));
        result.exitStatus = kUsageError;
    } else if (!parser.positionalArguments().isEmpty()) {
        result.patternFile = parser.positionalArguments().constFirst();
    }
    return result;
}

StartedWindow::~StartedWindow() {
    window.reset();
    machine.reset();
}

StartedWindow startWindow(std::unique_ptr<machine::Machine> machine, const CommandLine& options,
                          const WindowMaker& makeWindow) {
    StartedWindow started;
    started.machine = std::move(machine);
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
    const CommandLine options = parseCommandLine(arguments);
    if (options.exitStatus) {
        return *options.exitStatus;
    }

    Application app(argc, argv);
    StartedWindow started;
    try {
        started = startWindow(
            std::make_unique<machine::Machine>(backends::discoverMidiOutDevices()), options);
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
