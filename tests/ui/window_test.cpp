// The window itself: its start values, grid editing, Play/Stop, the tempo and
// time-signature spinners and the grid's layout per time signature, driven by clicks.

#include "window_rig.h"

#include "midi/drum_catalogue.h"
#include "midi/start_kit.h"

#include <QComboBox>
#include <QFrame>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

#include <set>

using tambrel::engine::PlayState;

namespace {

const QStringList kVolumeLabels = {"Label14", "Label9",  "Label10", "Label11",
                                   "Label15", "Label17", "Label19", "Label21"};

// Every row's panels and visible cells under the signature shown, as the layout table
// of the four signatures gives them.
void checkLayout(const WindowRig& rig, int width, QList<int> lefts, bool dShown,
                 std::set<int> visibleCells) {
    const QStringList suffixes = {"", "b", "c", "d"};
    for (int t = 1; t <= 8; ++t) {
        for (int g = 0; g < 4; ++g) {
            auto* panel = rig.find<QFrame>(QStringLiteral("Panel%1%2").arg(t).arg(suffixes[g]));
            QVERIFY(panel);
            const bool shown = g < 3 || dShown;
            QCOMPARE(panel->isVisible(), shown);
            QCOMPARE(panel->y(), 98 + 32 * (t - 1));
            QCOMPARE(panel->height(), 21);
            if (shown) {
                QCOMPARE(panel->width(), width);
                QCOMPARE(panel->x(), lefts[g]);
            }
        }
        for (int c = 1; c <= 16; ++c) {
            CellLabel* cell = rig.cell(t, c);
            const bool visible = cell->isVisible();
            QVERIFY2(visible == (visibleCells.count(c) == 1),
                     qPrintable(QStringLiteral("track %1 cell %2").arg(t).arg(c)));
            if (visible) {
                // A visible cell lies whole inside its panel.
                QVERIFY(cell->parentWidget()->rect().contains(cell->geometry()));
            }
        }
    }
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void freshWindowShowsTheStartState();
    void freshWindowNamesItsOneDevice();
    void windowIsFixedWithoutMinimiseOrMaximise();
    void controlsSitWhereTheLayoutPutsThem();
    void cellClickedTwiceTogglesBack();
    void cellOfAnotherColourIgnoresClicks();
    void tempoSpinnerActsOneClickBehind();
    void tempoSpinnerStopsAtItsEnds();
    void firstTimeSignatureClickChangesNothing();
    void timeSignatureCyclesBothWays();
    void layoutOfEachTimeSignature();
    void hiddenCellKeepsItsState();
    void timeSignatureChangeStopsPlayback();
    void timeSignatureChangeWhileStoppedOrHaltedEndsStopped();
    void playAndStopSwitchTheButtons();
    void clearEmptiesTheGridAndKeepsPlaying();
    void acceleratorsWork();
    void tabOrderFollowsTheRows();
};

void WindowTest::freshWindowShowsTheStartState() {
    WindowRig rig(0);
    QCOMPARE(rig.window->windowTitle(), QStringLiteral("Tambrel"));
    QCOMPARE(rig.text("Label23"), QStringLiteral("120"));
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("4/4"));
    QCOMPARE(rig.text("PosLabel"), QStringLiteral("0"));
    QCOMPARE(rig.text("Label1"), QStringLiteral("None"));
    QVERIFY(rig.enabled("BitBtn1"));
    QVERIFY(!rig.enabled("BitBtn2"));
    QCOMPARE(rig.engine().stepPeriod(), 125);
    for (int t = 1; t <= 8; ++t) {
        for (int c = 1; c <= 16; ++c) {
            QCOMPARE(rig.cell(t, c)->color(), CellLabel::kOffColor);
            QVERIFY(rig.cell(t, c)->isVisible());
        }
        auto* combo = rig.find<QComboBox>(QStringLiteral("ComboBox%1").arg(t));
        QCOMPARE(combo->currentText(),
                 QString::fromLatin1(tambrel::midi::kStartKit[std::size_t(t - 1)].instrument));
        QVERIFY(combo->isEditable());
        QCOMPARE(combo->count(), 49);
        QCOMPARE(combo->itemText(0), QStringLiteral("Acoustic Bass Drum"));
        QCOMPARE(combo->itemText(48), QString());
        auto* bar = rig.find<QSlider>(QStringLiteral("TrackBar%1").arg(t));
        QCOMPARE(bar->value(), 100);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 127);
        QCOMPARE(bar->tickInterval(), 12);
        QCOMPARE(bar->tickPosition(), QSlider::TicksBelow);
        QCOMPARE(rig.text(kVolumeLabels[t - 1]), QStringLiteral("100"));
    }
    QCOMPARE(rig.text("Label5"), QStringLiteral("Track 1  Volume:"));
    QCOMPARE(rig.text("Label22"), QStringLiteral("Track 8  Volume:"));
    QCOMPARE(rig.find<QAbstractButton>("BitBtn1")->text(), QStringLiteral("&Play"));
    QCOMPARE(rig.find<QAbstractButton>("BitBtn2")->text(), QStringLiteral("S&top"));
    QCOMPARE(rig.find<QAbstractButton>("BitBtn3")->text(), QStringLiteral("C&lear"));
    QCOMPARE(rig.find<QAbstractButton>("BitBtn4")->text(), QStringLiteral("&Close"));
    QCOMPARE(rig.find<QWidget>("SpeedButton1")->toolTip(), QStringLiteral("Save Pattern To File"));
    QCOMPARE(rig.find<QWidget>("SpeedButton2")->toolTip(),
             QStringLiteral("Load Pattern From File"));
}

void WindowTest::freshWindowNamesItsOneDevice() {
    WindowRig rig(1);
    QCOMPARE(rig.text("PosLabel"), QStringLiteral("0"));
    QCOMPARE(rig.text("Label1"), QStringLiteral("Memory MIDI 1"));
    QCOMPARE(rig.memoryDevice(0)->openCount(), 1);
}

void WindowTest::windowIsFixedWithoutMinimiseOrMaximise() {
    WindowRig rig(0);
    QCOMPARE(rig.window->size(), QSize(595, 403));
    QCOMPARE(rig.window->minimumSize(), QSize(595, 403));
    QCOMPARE(rig.window->maximumSize(), QSize(595, 403));
    const Qt::WindowFlags flags = rig.window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    rig.window->resize(800, 600);
    QCOMPARE(rig.window->size(), QSize(595, 403));
}

void WindowTest::controlsSitWhereTheLayoutPutsThem() {
    WindowRig rig(0);
    auto geometry = [&](const char* name) { return rig.find<QWidget>(name)->geometry(); };
    QCOMPARE(geometry("BitBtn1"), QRect(16, 16, 61, 25));
    QCOMPARE(geometry("BitBtn2"), QRect(82, 16, 61, 25));
    QCOMPARE(geometry("SpeedButton2"), QRect(148, 16, 25, 25));
    QCOMPARE(geometry("SpeedButton1"), QRect(148, 48, 25, 25));
    QCOMPARE(geometry("BitBtn5"), QRect(16, 48, 127, 25));
    QCOMPARE(geometry("UpDown1"), QRect(184, 16, 16, 24));
    QCOMPARE(geometry("UpDown2"), QRect(184, 48, 16, 24));
    QCOMPARE(geometry("UpDown3"), QRect(288, 48, 16, 24));
    QCOMPARE(geometry("Label4").topLeft(), QPoint(208, 22));
    QCOMPARE(geometry("PosLabel").topLeft(), QPoint(286, 22));
    QCOMPARE(geometry("Label1").topLeft(), QPoint(303, 22));
    QCOMPARE(geometry("Label3").topLeft(), QPoint(208, 54));
    QCOMPARE(geometry("Label23").topLeft(), QPoint(255, 54));
    QCOMPARE(geometry("TimeSigLabel").topLeft(), QPoint(313, 54));
    QCOMPARE(geometry("playModeLabel").topLeft(), QPoint(409, 54));
    QCOMPARE(geometry("Label8").topLeft(), QPoint(16, 102 + 96));
    QCOMPARE(geometry("Label21"), QRect(120, 102 + 224, 22, 13));
    QCOMPARE(geometry("TrackBar4"), QRect(150, 96 + 96, 65, 25));
    QCOMPARE(geometry("ComboBox8"), QRect(224, 98 + 224, 137, 21));
    QCOMPARE(geometry("Panel9"), QRect(0, 362, 595, 41));
    QCOMPARE(geometry("BitBtn6"), QRect(16, 8, 66, 25));
    QCOMPARE(geometry("BitBtn7"), QRect(95, 8, 61, 25));
    QCOMPARE(geometry("BitBtn3"), QRect(448, 8, 61, 25));
    QCOMPARE(geometry("BitBtn4"), QRect(522, 8, 61, 25));
    QCOMPARE(rig.cell(3, 12)->parentWidget()->objectName(), QStringLiteral("Panel3c"));
    QCOMPARE(rig.cell(3, 12)->geometry(), QRect(38, 2, 10, 17));
    QCOMPARE(rig.cell(5, 5)->parentWidget()->objectName(), QStringLiteral("Panel5b"));
    QCOMPARE(rig.cell(5, 5)->geometry(), QRect(2, 2, 10, 17));
    // Value labels are red, name labels are not; all are bold.
    QCOMPARE(rig.find<QLabel>("Label23")->palette().color(QPalette::WindowText), QColor(Qt::red));
    QVERIFY(rig.find<QLabel>("Label3")->palette().color(QPalette::WindowText) != QColor(Qt::red));
    QVERIFY(rig.find<QLabel>("Label3")->font().bold());
    QCOMPARE(rig.find<QLabel>("Label3")->font().pixelSize(), 11);
    // Captions end before the value beside them.
    QVERIFY(geometry("TimeSigLabel").right() < geometry("playModeLabel").left());
    QVERIFY(geometry("Label4").right() < geometry("PosLabel").left());
    QVERIFY(geometry("Label3").right() < geometry("Label23").left());
    QVERIFY(geometry("Label5").right() < geometry("Label14").left());
}

void WindowTest::cellClickedTwiceTogglesBack() {
    WindowRig rig(0);
    rig.click("Tr3Label12");
    QCOMPARE(rig.cell(3, 12)->color(), CellLabel::kOnColor);
    QVERIFY(rig.engine().grid().isOn(3, 12));
    // Only that cell: its neighbours and the same cell of other tracks stay off.
    QVERIFY(!rig.engine().grid().isOn(3, 11));
    QVERIFY(!rig.engine().grid().isOn(2, 12));
    QCOMPARE(rig.engine().BuildStepString(12).str(), std::string("00100000"));
    rig.click("Tr3Label12");
    QCOMPARE(rig.cell(3, 12)->color(), CellLabel::kOffColor);
    QVERIFY(rig.engine().grid().empty());
    // Two-digit track parsing must not confuse cell 1 with cell 16.
    rig.click("Tr8Label16");
    QVERIFY(rig.engine().grid().isOn(8, 16));
    QVERIFY(!rig.engine().grid().isOn(8, 1));
    // A cell knows its own place: its name is only a name.
    CellLabel* cell = rig.cell(5, 9);
    cell->setObjectName(QStringLiteral("Tr1Label1"));
    QTest::mouseClick(cell, Qt::LeftButton);
    QVERIFY(rig.engine().grid().isOn(5, 9));
    QVERIFY(!rig.engine().grid().isOn(1, 1));
}

void WindowTest::cellOfAnotherColourIgnoresClicks() {
    WindowRig rig(0);
    rig.cell(2, 5)->setColor(QColor(255, 0, 0));
    rig.click("Tr2Label5");
    QVERIFY(rig.engine().grid().empty());
    // Shown in a cell colour again, it answers again, for its own place.
    rig.window->refresh();
    rig.click("Tr2Label5");
    QVERIFY(rig.engine().grid().isOn(2, 5));
    QCOMPARE(rig.cell(2, 5)->color(), CellLabel::kOnColor);
}

void WindowTest::tempoSpinnerActsOneClickBehind() {
    WindowRig rig(0);
    rig.spin("UpDown2", true);
    QCOMPARE(rig.text("Label23"), QStringLiteral("120"));
    QCOMPARE(rig.engine().stepPeriod(), 125);
    QCOMPARE(rig.engine().tempoSelector().position(), 121);
    rig.spin("UpDown2", true);
    QCOMPARE(rig.text("Label23"), QStringLiteral("121"));
    QCOMPARE(rig.engine().stepPeriod(), 123);
    // Turning back shows the position before this click: still 122 -> shows 122.
    rig.spin("UpDown2", false);
    QCOMPARE(rig.text("Label23"), QStringLiteral("122"));
    QCOMPARE(rig.engine().stepPeriod(), 15000 / 122);
}

void WindowTest::tempoSpinnerStopsAtItsEnds() {
    WindowRig rig(0);
    rig.engine().tempoSelector().setPosition(260);
    rig.spin("UpDown2", true);
    rig.spin("UpDown2", true);
    QCOMPARE(rig.text("Label23"), QStringLiteral("260"));
    QCOMPARE(rig.engine().stepPeriod(), 57);
    rig.engine().tempoSelector().setPosition(30);
    rig.spin("UpDown2", false);
    rig.spin("UpDown2", false);
    QCOMPARE(rig.text("Label23"), QStringLiteral("30"));
    QCOMPARE(rig.engine().stepPeriod(), 500);
}

void WindowTest::firstTimeSignatureClickChangesNothing() {
    for (const bool up : {true, false}) {
        WindowRig rig(0);
        rig.click("BitBtn1");
        rig.spin("UpDown3", up);
        QCOMPARE(rig.text("playModeLabel"), QStringLiteral("4/4"));
        QCOMPARE(rig.engine().stepPeriod(), 125);
        // Re-selecting the signature in force does not stop the playback either.
        QCOMPARE(rig.engine().playState(), PlayState::Playing);
        QVERIFY(!rig.enabled("BitBtn1"));
        rig.click("BitBtn2");
    }
}

void WindowTest::timeSignatureCyclesBothWays() {
    {
        WindowRig rig(0);
        QStringList shown;
        for (int i = 0; i < 5; ++i) {
            rig.spin("UpDown3", true);
            shown << rig.text("playModeLabel");
        }
        QCOMPARE(shown, (QStringList{"4/4", "12/8", "3/4", "6/8", "4/4"}));
    }
    {
        WindowRig rig(0);
        QStringList shown;
        QList<int> periods;
        for (int i = 0; i < 5; ++i) {
            rig.spin("UpDown3", false);
            shown << rig.text("playModeLabel");
            periods << rig.engine().stepPeriod();
        }
        QCOMPARE(shown, (QStringList{"4/4", "6/8", "3/4", "12/8", "4/4"}));
        QCOMPARE(periods, (QList<int>{125, 250, 166, 166, 125}));
    }
}

void WindowTest::layoutOfEachTimeSignature() {
    WindowRig rig(0);
    checkLayout(rig, 51, {376, 428, 480, 532}, true,
                {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    rig.spin("UpDown3", false); // 4/4 again
    rig.spin("UpDown3", false); // 6/8
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("6/8"));
    checkLayout(rig, 27, {376, 404, 432}, false, {1, 2, 5, 6, 9, 10});
    rig.spin("UpDown3", false); // 3/4 straight after 6/8
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("3/4"));
    checkLayout(rig, 39, {376, 416, 456}, false, {1, 2, 3, 5, 6, 7, 9, 10, 11});
    rig.spin("UpDown3", false); // 12/8
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("12/8"));
    checkLayout(rig, 39, {376, 416, 456, 496}, true, {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15});
    rig.spin("UpDown3", false); // 4/4
    checkLayout(rig, 51, {376, 428, 480, 532}, true,
                {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    // The bottom bar never moves.
    QCOMPARE(rig.find<QWidget>("Panel9")->geometry(), QRect(0, 362, 595, 41));
}

void WindowTest::hiddenCellKeepsItsState() {
    WindowRig rig(0);
    rig.click("Tr1Label4");
    QCOMPARE(rig.engine().BuildStepString(4).str(), std::string("10000000"));
    rig.spin("UpDown3", false); // 4/4
    rig.spin("UpDown3", false); // 6/8
    rig.spin("UpDown3", false); // 3/4
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("3/4"));
    QVERIFY(!rig.cell(1, 4)->isVisible());
    for (int step = 1; step <= 9; ++step) {
        QCOMPARE(rig.engine().BuildStepString(step).str(), std::string("00000000"));
    }
    rig.spin("UpDown3", false); // 12/8
    rig.spin("UpDown3", false); // 4/4
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("4/4"));
    QVERIFY(rig.cell(1, 4)->isVisible());
    QCOMPARE(rig.cell(1, 4)->color(), CellLabel::kOnColor);
    QCOMPARE(rig.engine().BuildStepString(4).str(), std::string("10000000"));
}

void WindowTest::timeSignatureChangeStopsPlayback() {
    WindowRig rig(0);
    rig.click("BitBtn1");
    QCOMPARE(rig.engine().playState(), PlayState::Playing);
    rig.spin("UpDown3", true); // 4/4: nothing changes
    rig.spin("UpDown3", true); // 12/8
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("12/8"));
    QCOMPARE(rig.engine().playState(), PlayState::Stopped);
    QCOMPARE(rig.engine().runningTimerId(), 0u);
    QVERIFY(rig.enabled("BitBtn1"));
    QVERIFY(!rig.enabled("BitBtn2"));
}

void WindowTest::timeSignatureChangeWhileStoppedOrHaltedEndsStopped() {
    WindowRig rig(2);
    rig.spin("UpDown3", true); // 4/4 again
    rig.spin("UpDown3", true); // 12/8, while stopped: the buttons stay as they are
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("12/8"));
    QVERIFY(rig.enabled("BitBtn1"));
    QVERIFY(!rig.enabled("BitBtn2"));

    // Halted by a device switch during playback: Play stays disabled, Stop enabled...
    rig.click("BitBtn1");
    rig.spin("UpDown1", true);
    QCOMPARE(rig.engine().playState(), PlayState::Halted);
    QVERIFY(!rig.enabled("BitBtn1"));
    QVERIFY(rig.enabled("BitBtn2"));
    // ... until a change of signature, which stops the clock it no longer has.
    rig.spin("UpDown3", true); // 3/4
    QCOMPARE(rig.text("playModeLabel"), QStringLiteral("3/4"));
    QCOMPARE(rig.engine().playState(), PlayState::Stopped);
    QVERIFY(rig.enabled("BitBtn1"));
    QVERIFY(!rig.enabled("BitBtn2"));
}

void WindowTest::playAndStopSwitchTheButtons() {
    WindowRig rig(1);
    rig.click("Tr1Label1");
    rig.click("BitBtn1");
    QVERIFY(!rig.enabled("BitBtn1"));
    QVERIFY(rig.enabled("BitBtn2"));
    QCOMPARE(rig.engine().playState(), PlayState::Playing);
    // The first tick plays step 1, one step period after Play.
    QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= 1, 2000);
    rig.click("BitBtn2");
    QVERIFY(rig.enabled("BitBtn1"));
    QVERIFY(!rig.enabled("BitBtn2"));
    QCOMPARE(rig.engine().playState(), PlayState::Stopped);
    const auto first = rig.recorder.messages().front();
    QCOMPARE(keyOf(first.message), 35);
    QCOMPARE(first.message & 0xFF, 0x99u);
    const std::size_t sent = rig.recorder.size();
    QTest::qWait(300);
    QCOMPARE(rig.recorder.size(), sent);
}

void WindowTest::clearEmptiesTheGridAndKeepsPlaying() {
    WindowRig rig(0);
    rig.click("Tr1Label1");
    rig.click("Tr4Label9");
    rig.click("BitBtn1");
    rig.click("BitBtn3");
    QVERIFY(rig.engine().grid().empty());
    QCOMPARE(rig.cell(1, 1)->color(), CellLabel::kOffColor);
    QCOMPARE(rig.cell(4, 9)->color(), CellLabel::kOffColor);
    QCOMPARE(rig.engine().playState(), PlayState::Playing);
    rig.click("BitBtn2");
}

void WindowTest::acceleratorsWork() {
    WindowRig rig(0);
    rig.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    rig.click("Tr2Label2");
    // A mnemonic presses its button visibly, then clicks it a moment later.
    QTest::keyClick(rig.window.get(), Qt::Key_P, Qt::AltModifier);
    QTRY_COMPARE(rig.engine().playState(), PlayState::Playing);
    QTest::keyClick(rig.window.get(), Qt::Key_T, Qt::AltModifier);
    QTRY_COMPARE(rig.engine().playState(), PlayState::Stopped);
    QTest::keyClick(rig.window.get(), Qt::Key_L, Qt::AltModifier);
    QTRY_VERIFY(rig.engine().grid().empty());
    QVERIFY(rig.window->isVisible());
    QTest::keyClick(rig.window.get(), Qt::Key_C, Qt::AltModifier);
    QTRY_VERIFY(!rig.window->isVisible());
}

void WindowTest::tabOrderFollowsTheRows() {
    WindowRig rig(0);
    const QStringList expected = {"BitBtn1",   "BitBtn2",   "ComboBox1", "TrackBar1", "ComboBox2",
                                  "ComboBox3", "ComboBox4", "TrackBar2", "TrackBar3", "TrackBar4",
                                  "ComboBox5", "TrackBar5", "ComboBox6", "TrackBar6", "ComboBox7",
                                  "TrackBar7", "ComboBox8", "TrackBar8", "BitBtn4",   "BitBtn3",
                                  "BitBtn6",   "BitBtn7",   "BitBtn5"};
    QStringList seen;
    QWidget* widget = rig.find<QWidget>("BitBtn1");
    for (int guard = 0; guard < 400 && seen.size() < expected.size(); ++guard) {
        // An editable combo box's focus lands in its line edit.
        QWidget* named = widget;
        while (named && !expected.contains(named->objectName())) {
            named = named->parentWidget();
        }
        if (named && named != rig.window.get() &&
            (seen.isEmpty() || seen.last() != named->objectName()) &&
            !seen.contains(named->objectName()) && (widget->focusPolicy() & Qt::TabFocus)) {
            seen << named->objectName();
        }
        widget = widget->nextInFocusChain();
    }
    QCOMPARE(seen, expected);
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
