// The window's commands: Save and Load through the file dialogs' choices, the Presets
// menu, Volume, Help.

#include "window_rig.h"

#include "patterns/pattern_file.h"
#include "patterns/preset_data.h"
#include "patterns/presets.h"
#include "ui/help_window.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QSlider>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using tambrel::engine::PlayState;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Everything the window shows of the pattern, to compare before and after a command.
QStringList shownState(const WindowRig& rig) {
    QStringList state;
    for (const char* label : {"Label23", "playModeLabel", "Label14", "Label9", "Label10", "Label11",
                              "Label15", "Label17", "Label19", "Label21"}) {
        state << rig.text(label);
    }
    for (int t = 1; t <= 8; ++t) {
        state << rig.find<QComboBox>(QStringLiteral("ComboBox%1").arg(t))->currentText();
        QString row;
        for (int c = 1; c <= 16; ++c) {
            row += rig.cell(t, c)->color() == CellLabel::kOnColor ? QLatin1Char('x')
                                                                  : QLatin1Char('.');
        }
        state << row;
    }
    state << QString::number(rig.engine().stepPeriod())
          << QString::number(rig.engine().tempoSelector().position());
    return state;
}

// A pattern worth saving: 12/8, tempo 121, cells, a volume and a typed instrument.
void editAPattern(WindowRig& rig) {
    rig.spin("UpDown3", true);
    rig.spin("UpDown3", true); // 12/8
    rig.spin("UpDown2", true);
    rig.spin("UpDown2", true); // shows 121, spinner at 122
    for (const char* name : {"Tr1Label1", "Tr2Label7", "Tr3Label15", "Tr8Label13"}) {
        rig.click(name);
    }
    auto* bar = rig.find<QSlider>("TrackBar4");
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Home);
    auto* combo = rig.find<QComboBox>("ComboBox7");
    combo->lineEdit()->selectAll();
    QTest::keyClicks(combo->lineEdit(), QStringLiteral("Tambourine"));
}

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
private slots:
    void dialogsCarryTheirFilters();
    void saveThenLoadRoundTrips();
    void cancelledDialogsChangeNothing();
    void failedLoadChangesNothing();
    void saveIntoAMissingFolderShowsTheMessage();
    void failedSaveKeepsTheOldFile();
    void presetsMenuOpensAtItsPoint();
    void presetMenuHoldsEveryPresetInOrder();
    void choosingWaltzSwitchesToSixEight();
    void presetInTheSameSignatureKeepsPlaying();
    void shuffle2ShowsTrack2At73();
    void signatureSpinnerKeepsItsPositionThroughPresetsAndFiles();
    void volumeStartsTheMixerFoundInPath();
    void volumeWithoutMixerShowsTheMessage();
    void helpOpensOneWindow();
};

void CommandsTest::dialogsCarryTheirFilters() {
    WindowRig rig(0);
    std::unique_ptr<QFileDialog> save(rig.window->makeSaveDialog());
    QCOMPARE(save->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(save->defaultSuffix(), QStringLiteral("qel"));
    QVERIFY(save->testOption(QFileDialog::HideNameFilterDetails));
    QVERIFY(!save->testOption(QFileDialog::DontConfirmOverwrite));
    QCOMPARE(save->nameFilters(), QStringList{QStringLiteral("Tambrel (*qel) (*.qel)")});
    // What the user reads in the dialog's filter box, without the dot.
    auto* saveTypes = save->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QVERIFY(saveTypes);
    QCOMPARE(saveTypes->itemText(0), QStringLiteral("Tambrel (*qel)"));

    std::unique_ptr<QFileDialog> open(rig.window->makeOpenDialog());
    QCOMPARE(open->acceptMode(), QFileDialog::AcceptOpen);
    QCOMPARE(open->nameFilters(), QStringList{QStringLiteral("Tambrel (*.qel)")});
    auto* openTypes = open->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QVERIFY(openTypes);
    QCOMPARE(openTypes->itemText(0), QStringLiteral("Tambrel (*.qel)"));
    QCOMPARE(open->defaultSuffix(), QStringLiteral("qel"));
}

void CommandsTest::saveThenLoadRoundTrips() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("groove.qel"));
    QStringList saved;
    {
        WindowRig rig(0);
        editAPattern(rig);
        saved = shownState(rig);
        rig.window->nextSaveName = path;
        rig.click("SpeedButton1");
        QCOMPARE(rig.window->saveAsked, 1);
        QVERIFY(rig.window->messages.isEmpty());
        // The next save proposes the name chosen last.
        std::unique_ptr<QFileDialog> again(rig.window->makeSaveDialog());
        QCOMPARE(again->selectedFiles().value(0), path);
    }
    const QByteArray bytes = readAll(path);
    QVERIFY(bytes.startsWith("12/8\r\n122\r\nTR1INFO:100+Acoustic Bass Drum\r\n"));
    QVERIFY(bytes.contains("TR4INFO:0+Open Hi-Hat\r\n"));
    QVERIFY(bytes.contains("TR7INFO:100+Tambourine\r\n"));
    QCOMPARE(bytes.count("\r\n"), 10 + 12);

    WindowRig rig(0);
    rig.window->nextOpenName = path;
    rig.click("SpeedButton2");
    QVERIFY(rig.window->messages.isEmpty());
    QStringList loaded = shownState(rig);
    // The file holds the tempo spinner's position (122), which the load shows at once.
    saved[0] = QStringLiteral("122");
    saved[saved.size() - 2] = QString::number(20000 / 122);
    QCOMPARE(loaded, saved);
    QCOMPARE(rig.engine().trigger().key(7), 54);
    QCOMPARE(rig.engine().trigger().velocity(4), 0);
}

void CommandsTest::cancelledDialogsChangeNothing() {
    WindowRig rig(0);
    rig.click("Tr1Label1");
    const QStringList before = shownState(rig);
    rig.click("SpeedButton1");
    rig.click("SpeedButton2");
    QCOMPARE(rig.window->saveAsked, 1);
    QCOMPARE(rig.window->openAsked, 1);
    QCOMPARE(shownState(rig), before);
    QVERIFY(rig.window->messages.isEmpty());
}

void CommandsTest::failedLoadChangesNothing() {
    QTemporaryDir dir;
    const QString shortFile = dir.filePath(QStringLiteral("short.qel"));
    QVERIFY(writeAll(shortFile, "3/4\r\n90\r\nTR1INFO:50+Cowbell\r\n"));
    const QString badVolume = dir.filePath(QStringLiteral("bad.qel"));
    QByteArray bad = "6/8\r\n100\r\n";
    for (int t = 1; t <= 8; ++t) {
        bad +=
            QByteArray("TR") + QByteArray::number(t) + (t == 5 ? "INFO:80 +X\r\n" : "INFO:1+X\r\n");
    }
    bad += "11111111\r\n";
    QVERIFY(writeAll(badVolume, bad));

    for (const QString& path :
         {shortFile, badVolume, dir.filePath(QStringLiteral("missing.qel")), QString(dir.path())}) {
        WindowRig rig(0);
        editAPattern(rig);
        rig.click("BitBtn1");
        const QStringList before = shownState(rig);
        rig.window->nextOpenName = path;
        rig.click("SpeedButton2");
        QCOMPARE(rig.window->messages,
                 QStringList{QStringLiteral("  There was an error loading the file.  ")});
        QCOMPARE(shownState(rig), before);
        QCOMPARE(rig.engine().playState(), PlayState::Playing);
        rig.click("BitBtn2");
    }
}

void CommandsTest::saveIntoAMissingFolderShowsTheMessage() {
    QTemporaryDir dir;
    const QString notAFolder = dir.filePath(QStringLiteral("plain-file"));
    QVERIFY(writeAll(notAFolder, "x"));
    WindowRig rig(0);
    rig.window->nextSaveName = notAFolder + QStringLiteral("/groove.qel");
    const QStringList before = shownState(rig);
    rig.click("SpeedButton1");
    QCOMPARE(rig.window->messages, QStringList{QStringLiteral("  Error saving pattern  ")});
    QCOMPARE(shownState(rig), before);
    QCOMPARE(readAll(notAFolder), QByteArray("x"));
}

void CommandsTest::failedSaveKeepsTheOldFile() {
    // A file size limit makes the write itself fail half way, as a full disk would;
    // it holds for root too, whom folder permissions do not stop.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("old.qel"));
    QVERIFY(writeAll(path, "OLD PATTERN\r\n"));
    WindowRig rig(0);
    rig.window->nextSaveName = path;
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = 64;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    rig.click("SpeedButton1");
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QCOMPARE(rig.window->messages, QStringList{QStringLiteral("  Error saving pattern  ")});
    QCOMPARE(readAll(path), QByteArray("OLD PATTERN\r\n"));
    // No temporary file is left behind either.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("old.qel")});
}

void CommandsTest::presetsMenuOpensAtItsPoint() {
    WindowRig rig(0);
    rig.window->move(40, 30);
    rig.click("Tr2Label3");
    const QStringList before = shownState(rig);
    rig.click("BitBtn5");
    QCOMPARE(rig.window->presetMenuPoint(),
             rig.window->frameGeometry().topLeft() + QPoint(148, 90));
    QMenu* menu = rig.window->presetMenu();
    QCOMPARE(menu->objectName(), QStringLiteral("PopupMenu1"));
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(menu->pos(), rig.window->presetMenuPoint());
    QTest::keyClick(menu, Qt::Key_Escape);
    QTRY_VERIFY(!menu->isVisible());
    QCOMPARE(shownState(rig), before);
}

void CommandsTest::presetMenuHoldsEveryPresetInOrder() {
    WindowRig rig(0);
    QMenu* menu = rig.window->presetMenu();
    QStringList groups;
    QStringList groupNames;
    QStringList items;
    for (QAction* group : menu->actions()) {
        groups << group->text();
        groupNames << group->objectName();
        QVERIFY(group->menu());
        for (QAction* item : group->menu()->actions()) {
            items << group->text() + QLatin1Char('/') + item->text() + QLatin1Char('=') +
                         item->objectName();
        }
    }
    QCOMPARE(groups, (QStringList{"Country Rhythms", "Rock Rhythms", "Click Track", "Other"}));
    QCOMPARE(groupNames, (QStringList{"Country1", "Rock1", "ClickTrack1", "Other1"}));
    QCOMPARE(items.size(), 27);
    QCOMPARE(items.first(), QStringLiteral("Country Rhythms/Shuffle 1=CountryShuffle1"));
    QCOMPARE(items[9], QStringLiteral("Country Rhythms/Waltz=Waltz1"));
    QCOMPARE(items[12], QStringLiteral("Rock Rhythms/4 Beat Rock=N4BeatRock1"));
    QCOMPARE(items[19], QStringLiteral("Click Track/4/4 Cowbell=N44Cowbell1"));
    QCOMPARE(items.last(), QStringLiteral("Other/Samba=Samba1"));
}

void CommandsTest::choosingWaltzSwitchesToSixEight() {
    WindowRig rig(0);
    rig.click("Tr5Label16");
    rig.click("BitBtn1");
    rig.click("BitBtn5");
    auto* waltz = rig.window->findChild<QAction*>(QStringLiteral("Waltz1"));
    QVERIFY(waltz);
    waltz->trigger();
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("6/8"));
    QCOMPARE(rig.text("Label23"), QStringLiteral("110"));
    QCOMPARE(rig.engine().stepPeriod(), 30000 / 110);
    // A different signature stops the clock.
    QCOMPARE(rig.engine().playState(), PlayState::Stopped);
    QVERIFY(rig.enabled("BitBtn1"));
    // The whole pattern was replaced: the cell set before is gone.
    QVERIFY(!rig.engine().grid().isOn(5, 16));
    QVERIFY(!rig.engine().grid().empty());
    QVERIFY(!rig.cell(1, 3)->isVisible());
    // The time-signature spinner did not move: its next click re-selects 4/4.
    QCOMPARE(rig.engine().timeSignatureSelector().position(), 1);
    QVERIFY(rig.window->messages.isEmpty());
}

void CommandsTest::presetInTheSameSignatureKeepsPlaying() {
    WindowRig rig(0);
    rig.click("BitBtn1");
    rig.window->findChild<QAction*>(QStringLiteral("TrainBeat1"))->trigger();
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("4/4"));
    QCOMPARE(rig.text("Label23"), QStringLiteral("210"));
    QCOMPARE(rig.engine().playState(), PlayState::Playing);
    rig.click("BitBtn2");
}

void CommandsTest::shuffle2ShowsTrack2At73() {
    WindowRig rig(0);
    rig.window->findChild<QAction*>(QStringLiteral("Shuffle21"))->trigger();
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("12/8"));
    QCOMPARE(rig.text("Label9"), QStringLiteral("73"));
    QCOMPARE(rig.find<QSlider>("TrackBar2")->value(), 73);
    QCOMPARE(rig.engine().trigger().velocity(2), 73);
    QCOMPARE(rig.text("Label14"), QStringLiteral("100"));
}

void CommandsTest::signatureSpinnerKeepsItsPositionThroughPresetsAndFiles() {
    QTemporaryDir dir;
    const QString sixEight = dir.filePath(QStringLiteral("six-eight.qel"));
    QByteArray file = "6/8\r\n100\r\n";
    for (int t = 1; t <= 8; ++t) {
        file += QByteArray("TR") + QByteArray::number(t) + "INFO:100+Cowbell\r\n";
    }
    QVERIFY(writeAll(sixEight, file + "10000000\r\n"));

    WindowRig rig(0);
    rig.spin("UpDown3", true); // 4/4 again; the spinner moves to position 2
    rig.spin("UpDown3", true); // 12/8; position 3
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("12/8"));
    // The file switches to 6/8 without moving the spinner: its next click selects by
    // position 3, which is 3/4, not the signature after the one shown.
    rig.window->nextOpenName = sixEight;
    rig.click("SpeedButton2");
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("6/8"));
    rig.spin("UpDown3", true);
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("3/4"));
    // Likewise a preset: "Shuffle 1" is 12/8, and the spinner now stands at position 4.
    rig.window->PresetClick(*tambrel::patterns::findPreset("Shuffle 1"));
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("12/8"));
    rig.spin("UpDown3", false);
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("6/8"));
}

void CommandsTest::volumeStartsTheMixerFoundInPath() {
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("mixer-ran"));
    const QString stub = dir.filePath(QStringLiteral("pavucontrol"));
    QVERIFY(writeAll(stub, "#!/bin/sh\necho ran > '" + marker.toUtf8() + "'\n"));
    QVERIFY(QFile::setPermissions(stub, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", dir.path().toUtf8());
    WindowRig rig(0);
    rig.click("BitBtn6");
    qputenv("PATH", oldPath);
    QVERIFY(rig.window->messages.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
}

void CommandsTest::volumeWithoutMixerShowsTheMessage() {
    const QByteArray oldPath = qgetenv("PATH");
    WindowRig rig(0);
    rig.click("Tr4Label4");
    rig.click("BitBtn1");
    const QStringList before = shownState(rig);
    qputenv("PATH", "");
    rig.click("BitBtn6");
    rig.click("BitBtn6"); // each press asks again
    qputenv("PATH", oldPath);
    QCOMPARE(rig.window->messages,
             QStringList(2, QStringLiteral("Couldn't find windows audio mixer application.")));
    QCOMPARE(shownState(rig), before);
    QCOMPARE(rig.engine().playState(), PlayState::Playing);
    rig.click("BitBtn2");
}

void CommandsTest::helpOpensOneWindow() {
    WindowRig rig(0);
    rig.click("BitBtn7");
    rig.click("BitBtn7");
    const auto helps = rig.window->findChildren<tambrel::HelpWindow*>();
    QCOMPARE(helps.size(), 1);
    QVERIFY(helps.first()->isVisible());
    QVERIFY(helps.first()->isWindow());
    QCOMPARE(helps.first()->browser()->source().fragment(), QStringLiteral("about"));
    QVERIFY(rig.window->messages.isEmpty());
}

QTEST_MAIN(CommandsTest)
#include "commands_test.moc"
