// The window on the machine's real device list, with a private JACK server and another
// program's MIDI input on it: the device spinner reaches that input, and Play delivers
// the pattern's note-ons there.

#include "backends/device_list.h"
#include "jack_test_server.h"

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

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    WindowOverJack test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_jack_test.moc"
