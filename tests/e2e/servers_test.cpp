// Servers that die and come back, through the window: the JACK server killed while the
// window plays to it, started again under the same name and reached again; a receiver
// that stops reading; the built-in synth's PulseAudio server killed mid-play. The window
// keeps answering, the clock keeps ticking, and Close ends the program with status 0.

#include "jack_test_server.h"
#include "pulse_test_server.h"
#include "tests/support/child_process.h"
#include "tests/support/needs.h"
#include "tests/ui/window_rig.h"

#include "backends/jack/jack_midi_device.h"
#include "backends/synth/fluid_synth_device.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <csignal>

using tambrel::engine::PlayState;
using namespace std::chrono_literals;

namespace {

// How long the window's thread takes to run an event posted now.
qint64 answerMs() {
    QElapsedTimer clock;
    clock.start();
    qint64 answered = -1;
    QTimer::singleShot(0, [&] { answered = clock.elapsed(); });
    (void)QTest::qWaitFor([&] { return answered >= 0; }, 2000);
    return answered;
}

// Whether the step clock's timer fires at its pace: at least half the expiries that fit
// in `span`.
bool clockTicks(WindowRig& rig, std::chrono::milliseconds span) {
    const auto before = rig.machine->timers().stats().expiries.load();
    QTest::qWait(static_cast<int>(span.count()));
    const auto fired = rig.machine->timers().stats().expiries.load() - before;
    return fired >= static_cast<std::uint64_t>(span.count() / rig.engine().stepPeriod() / 2);
}

// Clicks the device spinner up until `name` is the device shown (and opened).
bool chooseDevice(WindowRig& rig, const QString& name) {
    for (unsigned click = 0; click <= rig.machine->device().deviceCount() + 1; ++click) {
        if (rig.text("Label1") == name && rig.machine->device().isOpen()) {
            return true;
        }
        rig.spin("UpDown1", true);
    }
    return rig.text("Label1") == name && rig.machine->device().isOpen();
}

void playAgain(WindowRig& rig) {
    rig.click("BitBtn2");
    rig.click("BitBtn1");
}

// Close, from inside the event loop as a user's click is: the loop must end with 0.
int closeWithTheButton(WindowRig& rig) {
    QTimer::singleShot(0, rig.window.get(), [&rig] { rig.click("BitBtn4"); });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); });
    return QCoreApplication::exec();
}

} // namespace

class ServersTest : public QObject {
    Q_OBJECT
private slots:
    void jackDiesWhilePlayingAndComesBack();
    void receiverThatStopsReadingDoesNotHoldTheClock();
    void pulseAudioDiesUnderTheSynth();
};

void ServersTest::jackDiesWhilePlayingAndComesBack() {
    tambrel::testing::PrivateJackServer server;
    QVERIFY(server.start());
    auto receiver = std::make_unique<tambrel::testing::JackMidiReceiver>("receiver");
    QVERIFY(receiver->ok());
    tambrel::midiout::BackendDevices jack = tambrel::backends::discoverJackMidiDevices();
    QCOMPARE(jack.others.size(), std::size_t(1));
    WindowRig rig(1, std::move(jack.others)); // 0: in memory, 1: the receiver
    const QString receiverName = QString::fromStdString(receiver->portName());
    QVERIFY(chooseDevice(rig, receiverName));
    rig.fillTrack(1);
    rig.setTempo(260);
    rig.click("BitBtn1");
    QVERIFY(receiver->waitForCount(4, 5s));

    server.kill();
    QVERIFY2(answerMs() < 100, "the window stopped answering when the server died");
    QVERIFY(clockTicks(rig, 400ms));
    QCOMPARE(rig.engine().playState(), PlayState::Playing);

    // Another device plays at once.
    QVERIFY(chooseDevice(rig, QStringLiteral("Memory MIDI 1")));
    playAgain(rig);
    const std::size_t inMemory = rig.recorder.size();
    QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= inMemory + 4, 3000);

    // A server under the same name again, and the same entry of the list reaches it.
    receiver.reset();
    QVERIFY(server.start());
    receiver = std::make_unique<tambrel::testing::JackMidiReceiver>("receiver");
    QVERIFY(receiver->ok());
    QVERIFY(chooseDevice(rig, receiverName));
    playAgain(rig);
    QVERIFY2(receiver->waitForCount(4, 5s), "the restarted server's receiver heard nothing");
    QCOMPARE(receiver->events().front().data(), (std::vector<std::uint8_t>{0x99, 35, 100}));

    QCOMPARE(closeWithTheButton(rig), 0);
    QVERIFY(rig.window->messages.isEmpty());
}

void ServersTest::receiverThatStopsReadingDoesNotHoldTheClock() {
    // Synchronous, so that the stopped receiver holds the server's whole graph up: only a
    // tick that never waits on the server keeps time then.
    tambrel::testing::PrivateJackServer server;
    server.makeSynchronous();
    QVERIFY(server.start());
    // Another program's input, in a process of its own that can be stopped.
    const pid_t dump = tambrel::testing::spawnChild({"jack_midi_dump"},
                                                    tambrel::testing::ChildStreams::inherited());
    QVERIFY(dump > 0);
    tambrel::midiout::BackendDevices jack;
    QTRY_VERIFY_WITH_TIMEOUT(!(jack = tambrel::backends::discoverJackMidiDevices()).others.empty(),
                             5000);
    WindowRig rig(0, std::move(jack.others));
    QCOMPARE(rig.text("Label1"), QStringLiteral("midi-monitor:input"));
    rig.fillTrack(1);
    rig.setTempo(260);
    rig.click("BitBtn1");
    QVERIFY(clockTicks(rig, 300ms));
    ::kill(dump, SIGSTOP);
    QVERIFY2(clockTicks(rig, 1000ms), "the clock waited for a stopped receiver");
    QVERIFY(answerMs() < 100);
    rig.click("BitBtn2");
    tambrel::testing::killChild(dump);
}

void ServersTest::pulseAudioDiesUnderTheSynth() {
    tambrel::testing::PrivatePulseServer server;
    if (!server.start()) {
        TAMBREL_QT_MISSING_NEED(QStringLiteral("no private PulseAudio server here: %1")
                                    .arg(QString::fromStdString(server.failure())));
    }
    const auto soundfont = tambrel::backends::findGmSoundfont();
    QVERIFY2(soundfont.has_value(), "no General MIDI soundfont installed");
    tambrel::midiout::MidiOutDeviceList synth;
    synth.push_back(std::make_unique<tambrel::backends::FluidSynthDevice>(*soundfont));
    WindowRig rig(0, std::move(synth));
    QCOMPARE(rig.text("Label1"), QStringLiteral("Tambrel GM Synth"));
    QVERIFY(rig.machine->device().isOpen());
    rig.fillTrack(1);
    rig.setTempo(260);
    rig.click("BitBtn1");
    QVERIFY(clockTicks(rig, 300ms));
    server.kill();
    QVERIFY2(answerMs() < 100, "the window stopped answering when the server died");
    QVERIFY(clockTicks(rig, 500ms));
    QCOMPARE(closeWithTheButton(rig), 0);
    QVERIFY(rig.window->messages.isEmpty());
}

QTEST_MAIN(ServersTest)
#include "servers_test.moc"
