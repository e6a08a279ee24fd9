// The window on the machine's real device list, with a private JACK server and another
// program's MIDI input on it: the device spinner reaches that input, and Play delivers
// the pattern's note-ons there; MIDI clock out and the transport's lead go with Play and
// Stop.

#include "backends/device_list.h"
#include "jack_test_server.h"
#include "jack_transport_watcher.h"
#include "tests/support/child_process.h"
#include "tests/tools/run_program.h"

#include "ui/application.h"
#include "ui/cell_label.h"
#include "ui/main_window.h"
#include "ui/up_down.h"

#include "machine/machine.h"
#include "midiout/midi_out.h"

#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <jack/jack.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>

class WindowOverJack : public QObject {
    Q_OBJECT
private slots:
    void spinnerReachesTheReceiverAndPlayDeliversThePattern();
    void clockOutRunsWhileStoppedStartsAndStopsWithPlayAndGoesAtQuit();
    void transportLeadStartsAndStopsAndPutsBarOneOnTheFirstNotes();
    void anExistingTimebaseMasterKeepsItsPlace();
    void followedTransportPutsStepOneOnItsBarsFromTheRollFrame();
    void followedTransportPlaysInATimebaseMastersBars();
};

namespace {

using tambrel::testing::JackMidiReceiver;
using tambrel::testing::JackTransportWatcher;
using tambrel::testing::TransportSample;

void click(const QWidget& window, const char* name) {
    QTest::mouseClick(window.findChild<QWidget*>(QLatin1String(name)), Qt::LeftButton);
}

// Clicks the device spinner up until the receiver is the open device. One click behind: the
// name shown is the device the spinner stood on before the click.
bool openReceiver(TForm1& window, tambrel::machine::Machine& machine,
                  const JackMidiReceiver& receiver) {
    const QString wanted = QString::fromStdString(receiver.portName()).left(31);
    auto* label1 = window.findChild<QLabel*>(QStringLiteral("Label1"));
    auto* upDown1 = window.findChild<UpDown*>(QStringLiteral("UpDown1"));
    const unsigned count = machine.device().deviceCount();
    for (unsigned n = 0; n <= count && label1->text() != wanted; ++n) {
        QTest::mouseClick(upDown1->upButton(), Qt::LeftButton);
    }
    return label1->text() == wanted && machine.device().isOpen();
}

bool pastBarOne(const TransportSample& sample) {
    const jack_position_t& p = sample.position;
    return (p.valid & JackPositionBBT) != 0 && (p.bar > 1 || p.beat > 1 || p.tick > 0);
}

// Where bar 1 beat 1 fell on the server's frame counter, as a follower reads it from one
// period past it: the period's first frame less the beats and ticks the position counts.
double barOneFrame(const TransportSample& sample) {
    const jack_position_t& p = sample.position;
    const double beats = (p.bar - 1) * static_cast<double>(p.beats_per_bar) + (p.beat - 1) +
                         p.tick / p.ticks_per_beat;
    return sample.cycleFrame - beats * 60.0 / p.beats_per_minute * p.frame_rate;
}

} // namespace

void WindowOverJack::spinnerReachesTheReceiverAndPlayDeliversThePattern() {
    tambrel::testing::PrivateJackServer server;
    QVERIFY(server.start());
    tambrel::testing::JackMidiReceiver receiver("drum-recorder");
    QVERIFY(receiver.ok());

    auto machine =
        std::make_unique<tambrel::machine::Machine>(tambrel::backends::discoverMidiOutDevices());
    auto window = std::make_unique<TForm1>(*machine);
    window->FormCreate();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY2(machine->device().deviceCount() >= 2,
             "expected at least the receiver and our own JACK port");
    QVERIFY(openReceiver(*window, *machine, receiver));

    // Bass drum on 1 and 9, snare on 5 and 13, at tempo 120 (a step every 125 ms).
    for (auto [track, cell] : {std::pair{1, 1}, {1, 9}, {2, 5}, {2, 13}}) {
        QTest::mouseClick(
            window->findChild<CellLabel*>(QStringLiteral("Tr%1Label%2").arg(track).arg(cell)),
            Qt::LeftButton);
    }
    QTest::mouseClick(window->findChild<QWidget*>(QStringLiteral("BitBtn1")), Qt::LeftButton);
    const bool arrived = receiver.waitForCount(4, std::chrono::seconds(5));
    QTest::mouseClick(window->findChild<QWidget*>(QStringLiteral("BitBtn2")), Qt::LeftButton);
    QVERIFY2(arrived, qPrintable(QStringLiteral("%1 notes arrived").arg(receiver.count())));

    const auto events = receiver.events();
    const std::vector<std::vector<std::uint8_t>> expected = {
        {0x99, 35, 100}, {0x99, 38, 100}, {0x99, 35, 100}, {0x99, 38, 100}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QCOMPARE(events[i].data(), expected[i]);
    }

    window->close(); // the clock stops, then the device closes
    window.reset();
    machine.reset();
}

// The window started as `tambrel --midi-clock-out=gear:in --clock-while-stopped` starts it:
// the gear hears clocks while stopped, Start with Play and Stop with Stop, and the clock's
// port goes with the window.
void WindowOverJack::clockOutRunsWhileStoppedStartsAndStopsWithPlayAndGoesAtQuit() {
    tambrel::testing::PrivateJackServer server;
    QVERIFY(server.start());
    tambrel::testing::JackMidiReceiver gear("gear");
    QVERIFY(gear.ok());
    const tambrel::ui::CommandLine options = tambrel::ui::parseCommandLine(
        {QStringLiteral("tambrel"),
         QStringLiteral("--midi-clock-out=") + QString::fromStdString(gear.portName()),
         QStringLiteral("--clock-while-stopped")});
    QVERIFY(!options.exitStatus);
    tambrel::backends::Outputs outputs =
        tambrel::backends::discoverOutputs(options.sync.midiClockOut.port);
    QVERIFY2(outputs.clockPort != nullptr, outputs.clockWhy.c_str());
    auto started = std::make_unique<tambrel::ui::StartedWindow>(tambrel::ui::startWindow(
        std::make_unique<tambrel::machine::Machine>(std::move(outputs.devices)), options, {},
        std::move(outputs.clockPort)));
    QVERIFY(gear.waitForCount(6, std::chrono::seconds(3))); // a step of clocks, stopped

    auto statusCount = [&](std::uint8_t status) {
        int n = 0;
        for (const auto& event : gear.events()) {
            n += event.bytes[0] == status;
        }
        return n;
    };
    QCOMPARE(statusCount(0xFA), 0);
    QTest::mouseClick(started->window->findChild<QWidget*>(QStringLiteral("BitBtn1")),
                      Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(statusCount(0xFA), 1, 3000);
    QTest::mouseClick(started->window->findChild<QWidget*>(QStringLiteral("BitBtn2")),
                      Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(statusCount(0xFC), 1, 3000);
    const int clocksAtStop = statusCount(0xF8);
    QTRY_VERIFY_WITH_TIMEOUT(statusCount(0xF8) > clocksAtStop + 6, 3000); // stopped, on

    started.reset();
    QCOMPARE(gear.connectionCount(), 0);
    QCOMPARE(statusCount(0xFC), 1); // quitting while stopped sends no second Stop
}

namespace {

struct Meter {
    float beatsPerBar;
    float beatType;
    double beatsPerMinute;
};

// What a follower saw of one Play: Tambrel's meter in every rolling period, bar 1 beat 1
// tick 0 until the first step's notes are heard and, from the first period past them, a
// count that puts bar 1 on the first note's frame (to within a tick).
void expectBars(const std::vector<TransportSample>& seen, const Meter& meter,
                std::uint32_t firstNote) {
    int waiting = 0;
    const TransportSample* past = nullptr;
    for (const TransportSample& sample : seen) {
        const jack_position_t& p = sample.position;
        if (sample.state != JackTransportRolling || (p.valid & JackPositionBBT) == 0) {
            continue;
        }
        QCOMPARE(p.beats_per_bar, meter.beatsPerBar);
        QCOMPARE(p.beat_type, meter.beatType);
        QCOMPARE(p.ticks_per_beat, 1920.0);
        QVERIFY2(std::abs(p.beats_per_minute - meter.beatsPerMinute) < 1e-6,
                 qPrintable(QString::number(p.beats_per_minute)));
        if (past == nullptr && pastBarOne(sample)) {
            past = &sample;
        } else if (past == nullptr) {
            QCOMPARE((std::array{p.bar, p.beat, p.tick}), (std::array{1, 1, 0}));
            ++waiting;
        }
    }
    QVERIFY2(waiting > 0, "the transport rolled only once Tambrel's first notes were heard");
    QVERIFY(past != nullptr);
    const jack_position_t& p = past->position;
    const double tickFrames = 60.0 / p.beats_per_minute * p.frame_rate / p.ticks_per_beat;
    const double off = barOneFrame(*past) - static_cast<double>(firstNote);
    QVERIFY2(std::abs(off) <= tickFrames + 1,
             qPrintable(QStringLiteral("bar 1 is %1 frames from the first note").arg(off)));
}

} // namespace

// `tambrel --jack-transport=lead`: Play starts the transport and Stop stops it, in 4/4 and
// 12/8, with Tambrel's bars published from the first notes' frame; quitting while playing
// leaves it stopped.
void WindowOverJack::transportLeadStartsAndStopsAndPutsBarOneOnTheFirstNotes() {
    tambrel::testing::PrivateJackServer server;
    ::setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
    const tambrel::ui::CommandLine options = tambrel::ui::parseCommandLine(
        {QStringLiteral("tambrel"), QStringLiteral("--jack-transport=lead")});
    QVERIFY(!options.exitStatus);
    const auto none = tambrel::backends::discoverOutputs(std::nullopt, true);
    QVERIFY(none.transportLead == nullptr);
    QVERIFY(none.transportWhy.starts_with("JACK transport lead needs a JACK server"));

    QVERIFY(server.start());
    JackMidiReceiver receiver("drum-recorder");
    JackTransportWatcher follower("follower");
    QVERIFY(receiver.ok() && follower.ok());
    tambrel::backends::Outputs outputs = tambrel::backends::discoverOutputs(std::nullopt, true);
    QVERIFY(outputs.transportLead != nullptr);
    QCOMPARE(outputs.transportWhy, std::string());
    auto machine = std::make_unique<tambrel::machine::Machine>(std::move(outputs.devices));
    auto started = std::make_unique<tambrel::ui::StartedWindow>(tambrel::ui::startWindow(
        std::move(machine), options, {}, nullptr, std::move(outputs.transportLead)));
    TForm1& window = *started->window;
    QVERIFY(openReceiver(window, *started->machine, receiver));
    click(window, "Tr1Label1"); // a bass drum on the bar's first step

    // Tempo 120: 125 ms sixteenths, then 166 ms eighths in 12/8 (two clicks, one behind).
    const Meter fourFour{4, 4, 120.0};
    const Meter twelveEight{12, 8, 60000.0 / 166};
    for (const Meter* meter : {&fourFour, &twelveEight}) {
        if (meter == &twelveEight) {
            auto* upDown3 = window.findChild<UpDown*>(QStringLiteral("UpDown3"));
            QTest::mouseClick(upDown3->upButton(), Qt::LeftButton);
            QTest::mouseClick(upDown3->upButton(), Qt::LeftButton);
        }
        const std::size_t notes = receiver.count();
        const std::size_t from = follower.samples().size();
        click(window, "BitBtn1");
        QTRY_VERIFY_WITH_TIMEOUT(receiver.count() > notes, 3000);
        QVERIFY(follower.waitForState(JackTransportRolling, from, std::chrono::seconds(3)));
        QTest::qWait(700); // past the first beat
        const std::size_t atStop = follower.samples().size();
        if (meter == &fourFour) {
            click(window, "BitBtn2");
        } else {
            started.reset(); // quitting while playing
        }
        QVERIFY(follower.waitForState(JackTransportStopped, atStop, std::chrono::seconds(3)));
        const auto seen = follower.samples();
        expectBars({seen.begin() + static_cast<std::ptrdiff_t>(from), seen.end()}, *meter,
                   receiver.events()[notes].frame);
        if (QTest::currentTestFailed()) {
            return;
        }
    }
}

// A timebase master that was there first (a DAW) keeps its place, and Tambrel says so in
// one line; Play and Stop still start and stop the transport.
void WindowOverJack::anExistingTimebaseMasterKeepsItsPlace() {
    tambrel::testing::PrivateJackServer server;
    QVERIFY(server.start());
    JackTransportWatcher daw("daw", true);
    QVERIFY(daw.ok());
    tambrel::backends::Outputs outputs = tambrel::backends::discoverOutputs(std::nullopt, true);
    QVERIFY(outputs.transportLead != nullptr);
    QCOMPARE(outputs.transportWhy, std::string("JACK transport already has a timebase master; "
                                               "Tambrel leads start and stop only"));
    auto started = std::make_unique<tambrel::ui::StartedWindow>(tambrel::ui::startWindow(
        std::make_unique<tambrel::machine::Machine>(std::move(outputs.devices)),
        tambrel::ui::CommandLine{}, {}, nullptr, std::move(outputs.transportLead)));

    const std::size_t from = daw.samples().size();
    click(*started->window, "BitBtn1");
    QVERIFY(daw.waitForState(JackTransportRolling, from, std::chrono::seconds(3)));
    QTest::qWait(100);
    const std::size_t atStop = daw.samples().size();
    click(*started->window, "BitBtn2");
    QVERIFY(daw.waitForState(JackTransportStopped, atStop, std::chrono::seconds(3)));
    for (const TransportSample& sample : daw.samples()) {
        if (sample.state == JackTransportRolling) {
            QCOMPARE(sample.position.beats_per_bar, JackTransportWatcher::kOwnBeatsPerBar);
        }
    }
    started.reset();

    // The program itself says it in one line on standard error, and its window starts.
    const QTemporaryDir dir;
    const std::string errors = dir.filePath(QStringLiteral("stderr")).toStdString();
    ::setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
    const pid_t tambrel = tambrel::testing::spawnChild({TAMBREL_PROGRAM, "--jack-transport=lead"},
                                                       {"/dev/null", errors});
    QVERIFY(tambrel > 0);
    // Qt's own notes (a missing runtime folder, say) may come beside it.
    const std::string line = "\ntambrel: JACK transport already has a timebase master; Tambrel "
                             "leads start and stop only\n";
    QTRY_VERIFY2_WITH_TIMEOUT(("\n" + tambrel::testing::slurp(errors)).find(line) !=
                                  std::string::npos,
                              tambrel::testing::slurp(errors).c_str(), 10000);
    QTest::qWait(500);
    QVERIFY(!tambrel::testing::childExited(tambrel));
    tambrel::testing::killChild(tambrel);
}

namespace {

// The window as `tambrel --jack-transport=follow` starts it, a kick on step 1, its notes to
// `receiver`.
std::unique_ptr<tambrel::ui::StartedWindow> followingWindow(const JackMidiReceiver& receiver) {
    const tambrel::ui::CommandLine options = tambrel::ui::parseCommandLine(
        {QStringLiteral("tambrel"), QStringLiteral("--jack-transport=follow")});
    tambrel::backends::Outputs outputs =
        tambrel::backends::discoverOutputs(std::nullopt, false, std::nullopt, true);
    if (options.exitStatus || outputs.followed == nullptr) {
        return nullptr;
    }
    auto started = std::make_unique<tambrel::ui::StartedWindow>(tambrel::ui::startWindow(
        std::make_unique<tambrel::machine::Machine>(std::move(outputs.devices)), options, {},
        nullptr, nullptr, std::move(outputs.followed)));
    if (!openReceiver(*started->window, *started->machine, receiver)) {
        return nullptr;
    }
    click(*started->window, "Tr1Label1");
    return started;
}

// The transport's frame that server frame `frame` played, by the rolling period that held
// it (-1 when none did).
std::int64_t transportFrameAt(const JackTransportWatcher& watcher, std::uint32_t frame) {
    for (const TransportSample& s : watcher.samples()) {
        if (s.state == JackTransportRolling &&
            frame - s.cycleFrame < tambrel::testing::PrivateJackServer::kPeriodFrames) {
            return s.position.frame + (frame - s.cycleFrame);
        }
    }
    return -1;
}

std::vector<std::uint32_t> noteFrames(const JackMidiReceiver& receiver, std::size_t from) {
    std::vector<std::uint32_t> frames;
    const auto events = receiver.events();
    for (std::size_t i = from; i < events.size(); ++i) {
        frames.push_back(events[i].frame);
    }
    return frames;
}

} // namespace

// `tambrel --jack-transport=follow` with jack_transport driving and no timebase master:
// Tambrel's own bars (96000 frames at 120) from the transport's frame 0, the first note of
// a start on the frame it rolled from (it waited for Tambrel), a move while stopped to
// mid-bar heard from the next bar start, Stop in the window stops the transport, and
// nothing is left behind: no note after a stop, no port and no waiting start after quit.
void WindowOverJack::followedTransportPutsStepOneOnItsBarsFromTheRollFrame() {
    tambrel::testing::PrivateJackServer server;
    QVERIFY(server.start());
    JackMidiReceiver receiver("drum-recorder");
    JackTransportWatcher watcher("watcher");
    tambrel::testing::JackTransportProgram transport;
    QVERIFY(receiver.ok() && watcher.ok() && transport.ok());
    auto started = followingWindow(receiver);
    QVERIFY(started != nullptr);

    for (const std::uint32_t at : {0U, 95'000U}) {
        transport.command("locate " + std::to_string(at));
        QTest::qWait(200);
        const std::size_t notes = receiver.count();
        const std::size_t from = watcher.samples().size();
        transport.command("play");
        QVERIFY(watcher.waitForState(JackTransportRolling, from, std::chrono::seconds(3)));
        QTest::qWait(4500);
        const std::size_t atStop = watcher.samples().size();
        click(*started->window, "BitBtn2");
        QVERIFY(watcher.waitForState(JackTransportStopped, atStop, std::chrono::seconds(3)));
        // The first note on the frame the transport rolled from plus the first bar start's
        // distance; each on a bar start of the transport, wherever a skipped period of a
        // busy server put the transport's frames on the server's.
        const auto heard = noteFrames(receiver, notes);
        QVERIFY2(heard.size() >= 2, "two bars in 4.5 s");
        QCOMPARE(heard[0], watcher.rollFrame(from) + (at + 95'999) / 96'000 * 96'000 - at);
        for (const std::uint32_t note : heard) {
            const std::int64_t transportFrame = transportFrameAt(watcher, note);
            QVERIFY2(
                std::llabs((transportFrame + 48'000) % 96'000 - 48'000) <= 1,
                qPrintable(QStringLiteral("a note on transport frame %1").arg(transportFrame)));
        }
        const std::size_t afterStop = receiver.count();
        QTest::qWait(400);
        QCOMPARE(receiver.count(), afterStop);
    }
    // Play in the window starts the transport for everybody.
    const std::size_t from = watcher.samples().size();
    click(*started->window, "BitBtn1");
    QVERIFY(watcher.waitForState(JackTransportRolling, from, std::chrono::seconds(3)));
    started.reset();
    QTest::qWait(300);
    const char** ours = jack_get_ports(receiver.client(), "^Tambrel:", nullptr, 0);
    QVERIFY2(ours == nullptr, ours != nullptr ? ours[0] : "");
    // Nobody holds a start now: stopped and started again, it rolls at once.
    transport.command("stop");
    QTest::qWait(200);
    const std::size_t again = watcher.samples().size();
    transport.command("play");
    QVERIFY(watcher.waitForState(JackTransportRolling, again, std::chrono::milliseconds(300)));
}

// klick as the timebase master, in 3/4 at 100 (a bar of 86400 frames): each step-1 note on
// the bar start that a follower reads from klick's bar, beat and tick (to within a tick).
void WindowOverJack::followedTransportPlaysInATimebaseMastersBars() {
    tambrel::testing::PrivateJackServer server;
    QVERIFY(server.start());
    JackMidiReceiver receiver("drum-recorder");
    JackTransportWatcher watcher("watcher");
    tambrel::testing::JackTransportProgram transport;
    QVERIFY(receiver.ok() && watcher.ok() && transport.ok());
    const pid_t klick = tambrel::testing::spawnChild({"klick", "-T", "-n", "klick", "3/4", "100"});
    QVERIFY2(klick > 0, "klick (scripts/install-deps installs it) did not start");
    QTest::qWait(500);
    auto started = followingWindow(receiver);
    QVERIFY(started != nullptr);
    transport.command("locate 30000");
    QTest::qWait(200);
    transport.command("play");
    QTest::qWait(5000);
    transport.command("stop");
    QTest::qWait(300);
    tambrel::testing::killChild(klick);
    std::vector<double> barStarts;
    for (const TransportSample& s : watcher.samples()) {
        const jack_position_t& p = s.position;
        if (s.state == JackTransportRolling && (p.valid & JackPositionBBT) != 0 && p.beat == 1 &&
            (barStarts.empty() || s.cycleFrame - barStarts.back() > 80'000)) {
            barStarts.push_back(s.cycleFrame - p.tick * 60.0 / 100 * 48000 / p.ticks_per_beat);
        }
    }
    const auto heard = noteFrames(receiver, 0);
    QVERIFY2(
        heard.size() >= 3 && barStarts.size() >= heard.size(),
        qPrintable(
            QStringLiteral("%1 notes, %2 bars in 5 s").arg(heard.size()).arg(barStarts.size())));
    for (std::size_t k = 0; k < heard.size(); ++k) {
        // A tick is 15 frames at 100: the bar start read from whole ticks lies up to one late.
        const double late = heard[k] - barStarts[k];
        QVERIFY2(
            late >= -17 && late <= 2,
            qPrintable(QStringLiteral("note %1: %2 frames from its bar start").arg(k).arg(late)));
    }
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    WindowOverJack test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_jack_test.moc"
