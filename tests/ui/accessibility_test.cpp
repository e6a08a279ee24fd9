// The window as a screen reader reaches it, through Qt's accessibility API: every control
// named in the product's words, the names following what the window shows, and a step
// cell that is a check box whose "press" does what a click does.

#include "window_rig.h"

#include <QAccessible>
#include <QtTest>

namespace {

QAccessibleInterface* accessible(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

QString nameOf(QObject* object) {
    return accessible(object)->text(QAccessible::Name);
}

// Every interface under `root`, depth first.
void collect(QAccessibleInterface* root, QList<QAccessibleInterface*>& into) {
    for (int i = 0; i < root->childCount(); ++i) {
        if (QAccessibleInterface* child = root->child(i)) {
            into << child;
            collect(child, into);
        }
    }
}

} // namespace

class AccessibilityTest : public QObject {
    Q_OBJECT
private slots:
    void everyControlHasANameAndEveryButtonSaysWhatItDoes();
    void cellIsACheckBoxWhosePressTogglesIt();
    void namesFollowTheSpinnersAndTheSignature();
};

void AccessibilityTest::everyControlHasANameAndEveryButtonSaysWhatItDoes() {
    WindowRig rig(1);
    QList<QAccessibleInterface*> all;
    collect(accessible(rig.window.get()), all);
    const QSet<QAccessible::Role> controls = {QAccessible::PushButton, QAccessible::CheckBox,
                                              QAccessible::ComboBox, QAccessible::Slider,
                                              QAccessible::ButtonMenu};
    int buttons = 0;
    int checkBoxes = 0;
    for (QAccessibleInterface* iface : all) {
        if (!controls.contains(iface->role()) || iface->state().invisible) {
            continue;
        }
        const QString what = iface->object()->objectName();
        QVERIFY2(!iface->text(QAccessible::Name).isEmpty(), qPrintable(what));
        if (iface->role() == QAccessible::PushButton) {
            ++buttons;
            QVERIFY2(!iface->text(QAccessible::Description).isEmpty(), qPrintable(what));
        }
        checkBoxes += iface->role() == QAccessible::CheckBox ? 1 : 0;
    }
    // Play, Stop, Presets, Load, Save, the bottom bar's four, two arrows per spinner.
    QCOMPARE(buttons, 3 + 2 + 4 + 6);
    QCOMPARE(checkBoxes, 8 * 16);

    QCOMPARE(nameOf(rig.find(QStringLiteral("SpeedButton2"))), QStringLiteral("Load pattern"));
    QCOMPARE(accessible(rig.find(QStringLiteral("SpeedButton2")))->text(QAccessible::Description),
             QStringLiteral("Load Pattern From File"));
    QCOMPARE(nameOf(rig.find(QStringLiteral("BitBtn1"))), QStringLiteral("Play"));
    // A combo box is named by its text on Linux: what it is for is its description.
    QAccessibleInterface* combo = accessible(rig.find(QStringLiteral("ComboBox4")));
    QCOMPARE(combo->text(QAccessible::Value), QStringLiteral("Open Hi-Hat"));
    QCOMPARE(combo->text(QAccessible::Description), QStringLiteral("Track 4 instrument"));
    QCOMPARE(nameOf(rig.find(QStringLiteral("TrackBar8"))), QStringLiteral("Track 8 volume"));
    QCOMPARE(accessible(rig.find(QStringLiteral("TrackBar8")))->valueInterface()->currentValue(),
             QVariant(100));
}

void AccessibilityTest::cellIsACheckBoxWhosePressTogglesIt() {
    WindowRig rig(1);
    CellLabel* cell = rig.cell(3, 5);
    QAccessibleInterface* iface = accessible(cell);
    QCOMPARE(iface->role(), QAccessible::CheckBox);
    QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Track 3 step 5"));
    QVERIFY(iface->state().checkable);
    QVERIFY(!iface->state().checked);

    QAccessibleActionInterface* actions = iface->actionInterface();
    QVERIFY(actions);
    QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
    actions->doAction(QAccessibleActionInterface::pressAction());
    QVERIFY(rig.engine().grid().isOn(3, 5));
    QVERIFY(iface->state().checked);
    QCOMPARE(cell->color(), CellLabel::kOnColor);

    // A click and the toggle action take it back and forth the same way.
    QTest::mouseClick(cell, Qt::LeftButton);
    QVERIFY(!iface->state().checked);
    actions->doAction(QAccessibleActionInterface::toggleAction());
    QVERIFY(rig.engine().grid().isOn(3, 5));

    // Played from the next step that reaches it, as a clicked cell is.
    rig.click(QStringLiteral("BitBtn1"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= 1, 3000);
    rig.click(QStringLiteral("BitBtn2"));
    QCOMPARE(keyOf(rig.recorder.messages().front().message), 42);

    // A cell the signature hides cannot be pressed, as it cannot be clicked.
    rig.spin(QStringLiteral("UpDown3"), true);
    rig.spin(QStringLiteral("UpDown3"), true); // 12/8: cells 4, 8, 12, 16 are out of view
    QAccessibleInterface* hidden = accessible(rig.cell(3, 4));
    QVERIFY(hidden->state().invisible);
    hidden->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QVERIFY(!rig.engine().grid().isOn(3, 4));
}

void AccessibilityTest::namesFollowTheSpinnersAndTheSignature() {
    WindowRig rig(2);
    QWidget* device = rig.find(QStringLiteral("UpDown1"));
    QWidget* tempo = rig.find(QStringLiteral("UpDown2"));
    QWidget* signature = rig.find(QStringLiteral("UpDown3"));
    QCOMPARE(nameOf(device), QStringLiteral("MIDI device 0: Memory MIDI 1"));
    QCOMPARE(nameOf(tempo), QStringLiteral("Tempo 120"));
    QCOMPARE(nameOf(signature), QStringLiteral("Time signature 4/4"));
    auto* tempoUp = rig.find<UpDown>(QStringLiteral("UpDown2"))->upButton();
    QCOMPARE(nameOf(tempoUp), QStringLiteral("Tempo up"));

    // One click behind, as the labels beside them. (The tempo last: a new signature takes
    // the tempo spinner's position.)
    for (const char* spinner : {"UpDown1", "UpDown1", "UpDown3", "UpDown3", "UpDown2", "UpDown2"}) {
        rig.spin(QLatin1String(spinner), true);
    }
    QCOMPARE(nameOf(device), QStringLiteral("MIDI device 1: Memory MIDI 2"));
    QCOMPARE(nameOf(tempo), QStringLiteral("Tempo 121"));
    QCOMPARE(rig.text(QStringLiteral("Label23")), QStringLiteral("121"));
    QCOMPARE(accessible(tempoUp)->text(QAccessible::Description), QStringLiteral("Tempo 121"));
    QCOMPARE(nameOf(signature), QStringLiteral("Time signature 12/8"));
    QCOMPARE(rig.text(QStringLiteral("playModeLabel")), QStringLiteral("12/8"));

    // In 12/8 the steps skip every fourth cell: cell 5 is step 4, cell 16 is out of view.
    QCOMPARE(nameOf(rig.cell(1, 5)), QStringLiteral("Track 1 step 4"));
    QCOMPARE(nameOf(rig.cell(8, 15)), QStringLiteral("Track 8 step 12"));
    QCOMPARE(nameOf(rig.cell(8, 16)), QStringLiteral("Track 8 cell 16"));
}

QTEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
