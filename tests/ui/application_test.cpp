// The program's start, through the code main() runs: a pattern file named on the command
// line is loaded as the Load button loads it, and an exception that escapes a handler is
// shown while the program goes on.

#include "window_rig.h"

#include "tests/patterns/worked_example.h"

#include "patterns/pattern_file.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <stdexcept>

namespace {

// The application object of the program, with its error box recorded.
class RecordingApplication : public tambrel::ui::Application {
public:
    using Application::Application;
    QStringList errors;
    void showError(const QString& text) override { errors << text; }
};

RecordingApplication* app() {
    return static_cast<RecordingApplication*>(QCoreApplication::instance());
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const std::string& bytes) {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size())) {
        return {};
    }
    return path;
}

// What the window shows of the pattern: tempo, signature, volumes, instruments, cells on.
QStringList shownPattern(const WindowRig& rig) {
    QStringList shown = {rig.text("Label23"), rig.text("playModeLabel")};
    for (int t = 1; t <= 8; ++t) {
        shown << rig.find<QComboBox>(QStringLiteral("ComboBox%1").arg(t))->currentText();
        for (int c = 1; c <= 16; ++c) {
            if (rig.cell(t, c)->isOn()) {
                shown << rig.cell(t, c)->objectName();
            }
        }
    }
    return shown;
}

const QString kLoadError = QString::fromLatin1(tambrel::patterns::kLoadErrorMessage);

} // namespace

class ApplicationTest : public QObject {
    Q_OBJECT
private slots:
    void patternFileOnTheCommandLineIsLoadedAndPlayed();
    void badPatternFileShowsTheLoadMessageOverTheStartPattern();
    void commandLineRefusesWhatItDoesNotTake();
    void exceptionInAHandlerIsShownAndTheWindowGoesOn();
};

void ApplicationTest::patternFileOnTheCommandLineIsLoadedAndPlayed() {
    QTemporaryDir dir;
    const QString path =
        writeFile(dir, QStringLiteral("six eight.qel"), tambrel::testing::kWorkedExample);
    QVERIFY(!path.isEmpty());

    WindowRig rig(1, {path});
    QVERIFY(rig.window->messages.isEmpty());
    QVERIFY(rig.window->isVisible());
    QCOMPARE(rig.text("Label23"), QStringLiteral("90"));
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("6/8"));
    QCOMPARE(rig.text("Label10"), QStringLiteral("80"));
    // The name is remembered as a Load's is: the next open dialog proposes it.
    std::unique_ptr<QFileDialog> open(rig.window->makeOpenDialog());
    QCOMPARE(open->selectedFiles().value(0), path);

    // Step 1: bass drum and closed hi-hat (at track 3's volume 80); steps 2 and 3: the
    // hi-hat; step 4: snare and hi-hat.
    rig.click(QStringLiteral("BitBtn1"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= 6, 3000);
    rig.click(QStringLiteral("BitBtn2"));
    const auto messages = rig.recorder.messages();
    const QList<QPair<int, int>> expected = {{35, 100}, {42, 80},  {42, 80},
                                             {42, 80},  {38, 100}, {42, 80}};
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const std::uint32_t message = messages[static_cast<std::size_t>(i)].message;
        QCOMPARE(message & 0xFF, 0x99U);
        QCOMPARE((QPair<int, int>{keyOf(message), velocityOf(message)}), expected[i]);
    }
}

void ApplicationTest::badPatternFileShowsTheLoadMessageOverTheStartPattern() {
    QTemporaryDir dir;
    std::string truncated = tambrel::testing::kWorkedExample;
    truncated.resize(truncated.find("TR8INFO")); // nine lines: not a pattern
    const QString bad = writeFile(dir, QStringLiteral("truncated.qel"), truncated);
    QVERIFY(!bad.isEmpty());

    const QStringList startPattern = shownPattern(WindowRig(1));
    for (const QString& path : {bad, dir.filePath(QStringLiteral("missing.qel")), dir.path()}) {
        WindowRig rig(1, {path});
        QCOMPARE(rig.window->messages, QStringList{kLoadError});
        QVERIFY(rig.window->isVisible());
        QCOMPARE(shownPattern(rig), startPattern);
        // The window goes on: a cell and Play work.
        rig.click(QStringLiteral("Tr2Label1"));
        rig.click(QStringLiteral("BitBtn1"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= 1, 3000);
        rig.click(QStringLiteral("BitBtn2"));
        QCOMPARE(keyOf(rig.recorder.messages().front().message), 38);
    }
}

void ApplicationTest::commandLineRefusesWhatItDoesNotTake() {
    using tambrel::ui::parseCommandLine;
    const QString program = QStringLiteral("tambrel");
    QVERIFY(!parseCommandLine({program}).exitStatus);
    QVERIFY(parseCommandLine({program}).patternFile.isEmpty());
    // A file whose name looks like an option, after "--".
    QCOMPARE(
        parseCommandLine({program, QStringLiteral("--"), QStringLiteral("-x.qel")}).patternFile,
        QStringLiteral("-x.qel"));
    QCOMPARE(parseCommandLine({program, QStringLiteral("--bogus")}).exitStatus, 2);
    QCOMPARE(parseCommandLine({program, QStringLiteral("--help-all")}).exitStatus, 2);
    QCOMPARE(
        parseCommandLine({program, QStringLiteral("-platform"), QStringLiteral("xcb")}).exitStatus,
        2);
    QCOMPARE(
        parseCommandLine({program, QStringLiteral("a.qel"), QStringLiteral("b.qel")}).exitStatus,
        2);
    QCOMPARE(parseCommandLine({program, QStringLiteral("--version")}).exitStatus, 0);
}

namespace {

// A window whose Load handler throws before it asks for a name.
class ThrowingWindow : public RecordingWindow {
public:
    using RecordingWindow::RecordingWindow;
    std::function<void()> beforeOpen;

protected:
    QString askOpenFileName() override {
        if (beforeOpen) {
            beforeOpen();
        }
        return RecordingWindow::askOpenFileName();
    }
};

// The Load button's handler, run by the event loop as a posted call: inside the
// application's notify(), as from a click. (Thrown through a click, the exception leaves
// a few hundred bytes of Qt's own button and mouse bookkeeping behind, which the leak
// checker of the AddressSanitizer build reports.)
void loadThroughTheEventLoop(TForm1& window) {
    QMetaObject::invokeMethod(&window, &TForm1::SpeedButton2Click, Qt::QueuedConnection);
    QCoreApplication::processEvents();
}

} // namespace

void ApplicationTest::exceptionInAHandlerIsShownAndTheWindowGoesOn() {
    tambrel::testing::MidiRecorder recorder;
    tambrel::machine::Machine machine(tambrel::testing::makeMemoryMidiDevices(1, recorder),
                                      [](int) {});
    ThrowingWindow window(machine);
    window.FormCreate();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(window.findChild<CellLabel*>(QStringLiteral("Tr1Label1")), Qt::LeftButton);
    const auto before = tambrel::patterns::BuildPatternLines(machine);

    app()->errors.clear();
    window.beforeOpen = [] { throw std::runtime_error("the disk went away"); };
    loadThroughTheEventLoop(window);
    window.beforeOpen = [] { throw 42; };
    loadThroughTheEventLoop(window);
    QCOMPARE(app()->errors, (QStringList{QStringLiteral("the disk went away"),
                                         tambrel::ui::Application::kUnknownError}));
    QVERIFY(window.messages.isEmpty());
    QCOMPARE(tambrel::patterns::BuildPatternLines(machine), before);
    QVERIFY(window.isVisible());

    // The same button works again, and so do the cells and Play.
    window.beforeOpen = nullptr;
    QTest::mouseClick(window.findChild<QWidget*>(QStringLiteral("SpeedButton2")), Qt::LeftButton);
    QCOMPARE(window.openAsked, 1);
    QTest::mouseClick(window.findChild<CellLabel*>(QStringLiteral("Tr2Label1")), Qt::LeftButton);
    QTest::mouseClick(window.findChild<QWidget*>(QStringLiteral("BitBtn1")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.size() >= 2, 3000);
    QTest::mouseClick(window.findChild<QWidget*>(QStringLiteral("BitBtn2")), Qt::LeftButton);
    QCOMPARE(keyOf(recorder.messages()[0].message), 35);
    QCOMPARE(keyOf(recorder.messages()[1].message), 38);
    QCOMPARE(app()->errors.size(), 2);
    window.close();
}

int main(int argc, char** argv) {
    RecordingApplication application(argc, argv);
    ApplicationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "application_test.moc"
