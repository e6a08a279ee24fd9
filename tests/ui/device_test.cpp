// The MIDI device spinner, the instruments and the volumes, through the window, with the
// in-memory MIDI back end standing in for the computer's devices.

#include "window_rig.h"

#include "midi/drum_catalogue.h"

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QSlider>
#include <QTimer>
#include <QtTest>

#include <atomic>

using tambrel::engine::PlayState;

namespace {

// A device that notes, at its close, whether the step clock's timer was still running.
struct CloseProbe {
    tambrel::platform::TimerService* timers = nullptr;
    std::uint32_t timerId = 0;
    int closes = 0;
    bool timerRunningAtClose = false;
    std::atomic<int> sends{0};
};

class ProbeDevice : public tambrel::midiout::MidiOutDevice {
public:
    explicit ProbeDevice(CloseProbe& probe) : probe_(probe) {}
    std::string name() const override { return "Probe"; }
    bool open() override { return true; }
    void send(const tambrel::midiout::TimedMessage&) noexcept override {
        probe_.sends.fetch_add(1);
    }
    void close() noexcept override {
        ++probe_.closes;
        probe_.timerRunningAtClose = probe_.timers && probe_.timers->isRunning(probe_.timerId);
    }

private:
    CloseProbe& probe_;
};

tambrel::midiout::MidiOutDeviceList probeList(CloseProbe& probe) {
    tambrel::midiout::MidiOutDeviceList list;
    list.push_back(std::make_unique<ProbeDevice>(probe));
    return list;
}

// Plays at the fastest tempo so that the tests wait less for notes.
void playFast(WindowRig& rig) {
    rig.setTempo(260);
    rig.click("BitBtn1");
}

// Turns the cell `cell` on and plays fast until the first note is sent, then stops; false
// where none came within two seconds.
bool playUntilTheFirstNote(WindowRig& rig, const char* cell) {
    rig.click(cell);
    playFast(rig);
    const bool sent = QTest::qWaitFor([&] { return rig.recorder.size() >= 1; }, 2000);
    rig.click("BitBtn2");
    return sent;
}

std::vector<tambrel::testing::RecordedMessage> messagesFrom(const WindowRig& rig,
                                                            std::size_t from) {
    auto all = rig.recorder.messages();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
}

} // namespace

class DeviceTest : public QObject {
    Q_OBJECT
private slots:
    void twoDevicesSwitchOneClickBehind();
    void threeDevicesWrapDownwards();
    void noDeviceSpinsOverZeroAndOne();
    void oneDeviceSpinnerStaysOnIt();
    void closingWithoutADeviceShowsNoMessage();
    void failedOpenStaysSilentAndRetries();
    void switchWhilePlayingHaltsThenPlaysOnTheNewDevice();
    void closeWhilePlayingStopsTheClockFirst();
    void closeButtonEndsTheProgram();
    void startKitSendsItsKeys();
    void pickingTheEmptyItemSendsKeyZero();
    void typedInstrumentIsLookedUpWhole();
    void lineBreaksCannotEnterAnInstrument();
    void eightBitNamesComeBackUnchanged();
    void volumeBarSetsLabelAndVelocity();
};

void DeviceTest::twoDevicesSwitchOneClickBehind() {
    WindowRig rig(2);
    QCOMPARE(rig.machine->device().selector().max(), 1);
    QCOMPARE(rig.text("Label1"), QStringLiteral("Memory MIDI 1"));
    QCOMPARE(rig.memoryDevice(0)->openCount(), 1);
    rig.spin("UpDown1", true);
    QCOMPARE(rig.text("PosLabel"), QStringLiteral("0"));
    QCOMPARE(rig.text("Label1"), QStringLiteral("Memory MIDI 1"));
    QCOMPARE(rig.memoryDevice(0)->closeCount(), 1);
    QCOMPARE(rig.memoryDevice(0)->openCount(), 2);
    QVERIFY(rig.memoryDevice(0)->isOpen());
    rig.spin("UpDown1", true);
    QCOMPARE(rig.text("PosLabel"), QStringLiteral("1"));
    QCOMPARE(rig.text("Label1"), QStringLiteral("Memory MIDI 2"));
    QVERIFY(!rig.memoryDevice(0)->isOpen());
    QVERIFY(rig.memoryDevice(1)->isOpen());
    rig.spin("UpDown1", true); // the spinner wrapped to 0 after the last click
    QCOMPARE(rig.text("PosLabel"), QStringLiteral("0"));
    QVERIFY(rig.memoryDevice(0)->isOpen());
}

void DeviceTest::threeDevicesWrapDownwards() {
    WindowRig rig(3);
    rig.spin("UpDown1", false); // re-opens 0; the spinner wraps to 2
    QCOMPARE(rig.text("PosLabel"), QStringLiteral("0"));
    rig.spin("UpDown1", false);
    QCOMPARE(rig.text("PosLabel"), QStringLiteral("2"));
    QCOMPARE(rig.text("Label1"), QStringLiteral("Memory MIDI 3"));
    QVERIFY(rig.memoryDevice(2)->isOpen());
}

void DeviceTest::noDeviceSpinsOverZeroAndOne() {
    WindowRig rig(0);
    QStringList shown;
    for (int i = 0; i < 3; ++i) {
        rig.spin("UpDown1", true);
        shown << rig.text("PosLabel");
        QCOMPARE(rig.text("Label1"), QStringLiteral("None"));
    }
    QCOMPARE(shown, (QStringList{"0", "1", "0"}));
    QVERIFY(!rig.machine->device().isOpen());
    QVERIFY(rig.window->messages.isEmpty());
}

void DeviceTest::oneDeviceSpinnerStaysOnIt() {
    WindowRig rig(1);
    QCOMPARE(rig.find<UpDown>("UpDown1")->selector().max(), 0);
    for (const bool up : {true, false}) {
        rig.spin("UpDown1", up);
        QCOMPARE(rig.text("PosLabel"), QStringLiteral("0"));
        QCOMPARE(rig.text("Label1"), QStringLiteral("Memory MIDI 1"));
        QVERIFY(rig.memoryDevice(0)->isOpen());
        QCOMPARE(rig.find<UpDown>("UpDown1")->selector().position(), 0);
    }
    QCOMPARE(rig.memoryDevice(0)->openCount(), 3);
}

void DeviceTest::closingWithoutADeviceShowsNoMessage() {
    for (const unsigned devices : {0U, 1U}) {
        WindowRig rig(devices);
        if (devices == 1) {
            rig.memoryDevice(0)->setFailOpen(true);
            rig.spin("UpDown1", true); // closes device 0; its reopening fails
            QVERIFY(!rig.machine->device().isOpen());
        }
        rig.window->close();
        QVERIFY(!rig.window->isVisible());
        QVERIFY(rig.window->messages.isEmpty());
    }
}

void DeviceTest::failedOpenStaysSilentAndRetries() {
    WindowRig rig(2);
    rig.memoryDevice(1)->setFailOpen(true);
    rig.spin("UpDown1", true);
    rig.spin("UpDown1", true);
    QCOMPARE(rig.text("PosLabel"), QStringLiteral("1"));
    QCOMPARE(rig.text("Label1"), QStringLiteral("Memory MIDI 2"));
    QVERIFY(!rig.machine->device().isOpen());
    QVERIFY(rig.window->messages.isEmpty());
    rig.click("Tr1Label1");
    playFast(rig);
    QTest::qWait(200);
    rig.click("BitBtn2");
    QCOMPARE(rig.recorder.size(), std::size_t(0));
    rig.spin("UpDown1", true); // wraps back to device 0, which opens
    QVERIFY(rig.machine->device().isOpen());
    QVERIFY(rig.memoryDevice(0)->isOpen());
}

void DeviceTest::switchWhilePlayingHaltsThenPlaysOnTheNewDevice() {
    WindowRig rig(2);
    rig.spin("UpDown1", true); // re-opens 0, spinner now at 1
    rig.click("Tr1Label1");
    rig.click("Tr2Label2");
    playFast(rig);
    QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= 3, 2000);
    rig.spin("UpDown1", true); // opens device 1
    QCOMPARE(rig.engine().playState(), PlayState::Halted);
    QVERIFY(!rig.enabled("BitBtn1"));
    QVERIFY(rig.enabled("BitBtn2"));
    const std::size_t halted = rig.recorder.size();
    QTest::qWait(250); // more than four step periods
    QCOMPARE(rig.recorder.size(), halted);
    for (const auto& m : rig.recorder.messages()) {
        QCOMPARE(m.device, 0u);
    }

    rig.click("BitBtn2");
    QVERIFY(rig.enabled("BitBtn1"));
    rig.click("BitBtn1");
    QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= halted + 2, 2000);
    rig.click("BitBtn2");
    const auto after = messagesFrom(rig, halted);
    QCOMPARE(after[0].device, 1u);
    QCOMPARE(keyOf(after[0].message), 35); // step 1: track 1
    QCOMPARE(after[1].device, 1u);
    QCOMPARE(keyOf(after[1].message), 38); // step 2: track 2
}

void DeviceTest::closeWhilePlayingStopsTheClockFirst() {
    CloseProbe probe;
    WindowRig rig(0, probeList(probe));
    QCOMPARE(rig.text("Label1"), QStringLiteral("Probe"));
    rig.click("Tr1Label1");
    playFast(rig);
    probe.timers = &rig.machine->timers();
    probe.timerId = rig.engine().runningTimerId();
    QVERIFY(probe.timerId != 0);
    QTRY_VERIFY_WITH_TIMEOUT(probe.sends.load() >= 1, 2000);
    rig.window->close();
    QCOMPARE(probe.closes, 1);
    QVERIFY(!probe.timerRunningAtClose);
    const int sent = probe.sends.load();
    QTest::qWait(200);
    QCOMPARE(probe.sends.load(), sent);
    QVERIFY(rig.window->messages.isEmpty());
}

void DeviceTest::closeButtonEndsTheProgram() {
    CloseProbe probe;
    WindowRig rig(0, probeList(probe));
    playFast(rig);
    probe.timers = &rig.machine->timers();
    probe.timerId = rig.engine().runningTimerId();
    // The click comes from inside the program's event loop, which must then end with
    // status 0; a loop still running after 5 s ends with 99 instead.
    QTimer::singleShot(0, rig.window.get(), [&rig] { rig.click("BitBtn4"); });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!rig.window->isVisible());
    QCOMPARE(probe.closes, 1);
    QVERIFY(!probe.timerRunningAtClose);
    QCOMPARE(rig.engine().runningTimerId(), 0u);
}

void DeviceTest::startKitSendsItsKeys() {
    WindowRig rig(1);
    for (int t = 1; t <= 8; ++t) {
        rig.click(QStringLiteral("Tr%1Label1").arg(t));
    }
    playFast(rig);
    QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= 8, 2000);
    rig.click("BitBtn2");
    const auto messages = rig.recorder.messages();
    QList<int> keys;
    for (std::size_t i = 0; i < 8; ++i) {
        keys << keyOf(messages[i].message);
        QCOMPARE(velocityOf(messages[i].message), 100);
        QCOMPARE(messages[i].message & 0xFF, 0x99u);
    }
    QCOMPARE(keys, (QList<int>{35, 38, 42, 46, 50, 45, 49, 51}));
}

void DeviceTest::pickingTheEmptyItemSendsKeyZero() {
    WindowRig rig(1);
    auto* combo = rig.find<QComboBox>("ComboBox1");
    combo->setCurrentIndex(48); // what a pick from the list does
    QCOMPARE(combo->currentText(), QString());
    QCOMPARE(rig.machine->tracks().instrumentText(1), std::string());
    QVERIFY(playUntilTheFirstNote(rig, "Tr1Label1"));
    const auto first = rig.recorder.messages().front();
    QCOMPARE(keyOf(first.message), 0);
    QCOMPARE(velocityOf(first.message), 100);
    // Picking a name again restores its key.
    combo->setCurrentIndex(combo->findText(QStringLiteral("Open Hi-Hat")));
    QCOMPARE(rig.engine().trigger().key(1), 46);
}

void DeviceTest::typedInstrumentIsLookedUpWhole() {
    WindowRig rig(0);
    auto* combo = rig.find<QComboBox>("ComboBox3");
    combo->lineEdit()->selectAll();
    QTest::keyClicks(combo->lineEdit(), QStringLiteral("Cowbell"));
    QCOMPARE(combo->currentText(), QStringLiteral("Cowbell"));
    QCOMPARE(rig.machine->tracks().instrumentText(3), std::string("Cowbell"));
    QCOMPARE(rig.engine().trigger().key(3), 56);
    // A name outside the catalogue gives key 0 (and is kept as typed).
    QTest::keyClicks(combo->lineEdit(), QStringLiteral(" X"));
    QCOMPARE(rig.machine->tracks().instrumentText(3), std::string("Cowbell X"));
    QCOMPARE(rig.engine().trigger().key(3), 0);
    // Typing never adds to the list.
    QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
    QCOMPARE(combo->count(), 49);
}

void DeviceTest::lineBreaksCannotEnterAnInstrument() {
    WindowRig rig(0);
    auto* combo = rig.find<QComboBox>("ComboBox6");
    combo->lineEdit()->selectAll();
    QGuiApplication::clipboard()->setText(QStringLiteral("Low\r\nTom"));
    combo->lineEdit()->paste();
    combo->lineEdit()->insert(QStringLiteral("Hi\nTom"));
    combo->lineEdit()->insert(QString(QChar(0)));
    const std::string text = rig.machine->tracks().instrumentText(6);
    QVERIFY(text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    QVERIFY(!combo->currentText().contains(QLatin1Char('\n')));
    QVERIFY(!combo->currentText().contains(QLatin1Char('\r')));
    QVERIFY(!combo->currentText().contains(QChar(0)));
}

void DeviceTest::eightBitNamesComeBackUnchanged() {
    WindowRig rig(0);
    auto* combo = rig.find<QComboBox>("ComboBox2");
    combo->lineEdit()->selectAll();
    combo->lineEdit()->insert(QStringLiteral("Caj\u00f3n \u00e9"));
    QCOMPARE(rig.machine->tracks().instrumentText(2), std::string("Caj\xf3n \xe9"));
    // And the model's bytes show as the same characters.
    rig.machine->tracks().applyTrackInfo(2, 90, "Timbal \xe1\xff");
    rig.window->refresh();
    QCOMPARE(combo->currentText(), QStringLiteral("Timbal \u00e1\u00ff"));
    QCOMPARE(rig.text("Label9"), QStringLiteral("90"));
    QCOMPARE(rig.find<QSlider>("TrackBar2")->value(), 90);
}

void DeviceTest::volumeBarSetsLabelAndVelocity() {
    WindowRig rig(1);
    auto* bar = rig.find<QSlider>("TrackBar5");
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Home);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(rig.text("Label15"), QStringLiteral("0"));
    QCOMPARE(rig.engine().trigger().velocity(5), 0);
    QVERIFY(playUntilTheFirstNote(rig, "Tr5Label1"));
    const auto first = rig.recorder.messages().front();
    QCOMPARE(keyOf(first.message), 50);
    QCOMPARE(velocityOf(first.message), 0);
    QTest::keyClick(bar, Qt::Key_End);
    QCOMPARE(rig.text("Label15"), QStringLiteral("127"));
    QCOMPARE(rig.engine().trigger().velocity(5), 127);
    // Other tracks keep theirs.
    QCOMPARE(rig.text("Label17"), QStringLiteral("100"));
    QCOMPARE(rig.engine().trigger().velocity(6), 100);
}

QTEST_MAIN(DeviceTest)
#include "device_test.moc"
