#pragma once
// A real window over a machine whose MIDI devices are in memory, driven by real clicks.
// Message boxes, file dialogs and the Presets menu's position are recorded instead of
// blocking.

#include "ui/application.h"
#include "ui/cell_label.h"
#include "ui/main_window.h"
#include "ui/up_down.h"

#include "machine/machine.h"
#include "tests/support/memory_midi.h"

#include <QAbstractButton>
#include <QLabel>
#include <QTest>
#include <QToolButton>

#include <memory>

class RecordingWindow : public TForm1 {
public:
    using TForm1::TForm1;

    QStringList messages;
    QString nextSaveName;
    QString nextOpenName;
    int saveAsked = 0;
    int openAsked = 0;

protected:
    QString askSaveFileName() override {
        ++saveAsked;
        return nextSaveName;
    }
    QString askOpenFileName() override {
        ++openAsked;
        return nextOpenName;
    }
    void showMessage(const QString& text) override { messages << text; }
};

struct WindowRig {
    // With `followed`, the engine follows that source of time from before the window opens.
    explicit WindowRig(unsigned deviceCount, tambrel::midiout::MidiOutDeviceList extraDevices = {},
                       tambrel::midiout::FollowedSource* followed = nullptr) {
        auto devices = tambrel::testing::makeMemoryMidiDevices(deviceCount, recorder);
        for (auto& device : extraDevices) {
            devices.push_back(std::move(device));
        }
        // The 100 ms pause of a device switch only slows the tests down.
        machine = std::make_unique<tambrel::machine::Machine>(std::move(devices), [](int) {});
        machine->engine().setFollowedSource(followed);
        window = std::make_unique<RecordingWindow>(*machine);
        window->FormCreate();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    // The window as the program starts it, over `deviceCount` in-memory devices, with
    // these command-line arguments after the program's name.
    WindowRig(unsigned deviceCount, const QStringList& arguments) {
        auto started = tambrel::ui::startWindow(
            std::make_unique<tambrel::machine::Machine>(
                tambrel::testing::makeMemoryMidiDevices(deviceCount, recorder), [](int) {}),
            tambrel::ui::parseCommandLine(QStringList{QStringLiteral("tambrel")} + arguments),
            [](tambrel::machine::Machine& m) { return std::make_unique<RecordingWindow>(m); });
        machine = std::move(started.machine);
        window.reset(static_cast<RecordingWindow*>(started.window.release()));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    template <class T = QWidget> T* find(const QString& name) const {
        return window->findChild<T*>(name);
    }
    QString text(const QString& label) const { return find<QLabel>(label)->text(); }
    bool enabled(const QString& name) const { return find<QWidget>(name)->isEnabled(); }
    void click(const QString& name) const {
        QWidget* widget = find<QWidget>(name);
        QVERIFY2(widget, qPrintable(name));
        QTest::mouseClick(widget, Qt::LeftButton);
    }
    void spin(const QString& upDown, bool up) const {
        auto* spinner = find<UpDown>(upDown);
        QTest::mouseClick(up ? spinner->upButton() : spinner->downButton(), Qt::LeftButton);
    }
    CellLabel* cell(int track, int number) const {
        return find<CellLabel>(QStringLiteral("Tr%1Label%2").arg(track).arg(number));
    }
    tambrel::testing::MemoryMidiDevice* memoryDevice(unsigned index) const {
        return dynamic_cast<tambrel::testing::MemoryMidiDevice*>(machine->midiOut().device(index));
    }
    tambrel::engine::RhythmEngine& engine() const { return machine->engine(); }
    // The tempo as a pattern file or preset sets it: shown at once, heard from the next Play.
    void setTempo(int tempo) const {
        engine().tempoSelector().setPosition(tempo);
        engine().UpdateStepPeriod();
        window->refresh();
    }
    // Every cell of one track on, by clicks: one note per step, whatever the signature.
    void fillTrack(int track) const {
        for (int c = 1; c <= 16; ++c) {
            click(QStringLiteral("Tr%1Label%2").arg(track).arg(c));
        }
    }

    // Declared first, destroyed last: the devices record into it until the machine goes.
    tambrel::testing::MidiRecorder recorder;
    std::unique_ptr<tambrel::machine::Machine> machine;
    std::unique_ptr<RecordingWindow> window;
};

// Note-on fields of a recorded message.
inline int keyOf(std::uint32_t message) {
    return static_cast<int>((message >> 8) & 0x7F);
}
inline int velocityOf(std::uint32_t message) {
    return static_cast<int>((message >> 16) & 0x7F);
}
