// The window on the machine's real device list, with a private JACK server and another
// program's MIDI input on it: the device spinner reaches that input, and Play delivers
// the pattern's note-ons there.

#include "backends/device_list.h"
#include "jack_test_server.h"

#include "ui/application.h"
#include "ui/cell_label.h"
#include "ui/main_window.h"
#include "ui/up_down.h"

#include "machine/machine.h"
#include "midiout/midi_out.h"

#include <QLabel>
#include <QTest>
#include <QToolButton>

#include <memory>

class WindowOverJack : public QObject {
    Q_OBJECT
private slots:
    void spinnerReachesTheReceiverAndPlayDeliversThePattern();
    void clockOutRunsWhileStoppedStartsAndStopsWithPlayAndGoesAtQuit();
};

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

    auto label = [&](const char* name) {
        return window->findChild<QLabel*>(QLatin1String(name))->text();
    };
    const QString wanted = QString::fromStdString(receiver.portName()).left(31);
    const unsigned count = machine->device().deviceCount();
    QVERIFY2(count >= 2, "expected at least the receiver and our own JACK port");

    // One click behind: the name shown is the device the spinner stood on before the
    // click. Click up until the receiver is the open device.
    auto* upDown1 = window->findChild<UpDown*>(QStringLiteral("UpDown1"));
    for (unsigned click = 0; click <= count && label("Label1") != wanted; ++click) {
        QTest::mouseClick(upDown1->upButton(), Qt::LeftButton);
    }
    QCOMPARE(label("Label1"), wanted);
    QVERIFY(machine->device().isOpen());

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

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    WindowOverJack test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_jack_test.moc"
