// Grabs the window to one PNG per time signature, with a few cells on and a device
// named, for a person to look at. Fails when the machine has no fonts (every letter
// would be drawn as a box) or when a picture comes out without the grid's colours.

#include "window_rig.h"

#include "backends/synth/fluid_synth_device.h"
#include "patterns/presets.h"

#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QPixmap>
#include <QtTest>

class ScreenshotsTest : public QObject {
    Q_OBJECT
private slots:
    void fontsAreInstalled() { QVERIFY(!QFontDatabase::families().isEmpty()); }
    void eachTimeSignature();
    void asTheReadmeShowsIt();
};

void ScreenshotsTest::eachTimeSignature() {
    const QString folder =
        qEnvironmentVariable("TAMBREL_SCREENSHOTS", QStringLiteral("screenshots"));
    QVERIFY(QDir().mkpath(folder));

    WindowRig rig(2);
    for (const char* name : {"Tr1Label1", "Tr1Label9", "Tr2Label5", "Tr2Label13", "Tr3Label1",
                             "Tr3Label3", "Tr3Label5", "Tr3Label7", "Tr3Label9", "Tr3Label11",
                             "Tr3Label13", "Tr3Label15", "Tr7Label1", "Tr8Label2"}) {
        rig.click(name);
    }
    rig.spin("UpDown2", true);
    rig.spin("UpDown2", true); // tempo 121
    const QStringList files = {"time-4-4.png", "time-12-8.png", "time-3-4.png", "time-6-8.png"};
    rig.spin("UpDown3", true); // 4/4: the first click re-selects it
    for (const QString& file : files) {
        const QImage image = rig.window->grab().toImage();
        QCOMPARE(image.size(), QSize(595, 403));
        // Cell 1 of track 1 is on in every signature and sits at (376+2, 98+2) + (5, 8).
        QCOMPARE(QColor(image.pixel(383, 108)), QColor(57, 109, 165));
        const QString path = QDir(folder).filePath(file);
        QVERIFY(image.save(path));
        qInfo("wrote %s", qPrintable(path));
        rig.spin("UpDown3", true);
    }
}

// The picture at the top of the README: a built-in rhythm on the built-in synth's entry, as
// a new user sees the window after choosing one from the Presets menu.
void ScreenshotsTest::asTheReadmeShowsIt() {
    const QString folder =
        qEnvironmentVariable("TAMBREL_SCREENSHOTS", QStringLiteral("screenshots"));
    QVERIFY(QDir().mkpath(folder));
    tambrel::testing::MidiRecorder recorder;
    tambrel::midiout::MidiOutDeviceList synth;
    synth.push_back(std::make_unique<tambrel::testing::MemoryMidiDevice>(
        0, tambrel::backends::kSynthDeviceName, recorder));
    WindowRig rig(0, std::move(synth));
    for (const tambrel::patterns::Preset& preset : tambrel::patterns::allPresets()) {
        if (preset.caption == "8th Beat Rock") {
            rig.window->PresetClick(preset);
        }
    }
    QCOMPARE(rig.text(QStringLiteral("Label1")),
             QString::fromLatin1(tambrel::backends::kSynthDeviceName));
    QVERIFY(!rig.engine().grid().empty());
    const QString path = QDir(folder).filePath(QStringLiteral("window.png"));
    QVERIFY(rig.window->grab().save(path));
    qInfo("wrote %s", qPrintable(path));
}

QTEST_MAIN(ScreenshotsTest)
#include "screenshots_test.moc"
