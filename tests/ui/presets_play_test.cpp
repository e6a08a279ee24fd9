// Every preset, chosen from the Presets menu of the real window, plays: after Play the
// device receives the preset's own first notes, in order, with its keys and volumes.

#include "window_rig.h"

#include "patterns/preset_data.h"
#include "ui/preset_menu.h"

#include <QAction>

#include <vector>

class PresetsPlayTest : public QObject {
    Q_OBJECT
private slots:
    void everyPresetPlaysItsFirstNotes();
};

void PresetsPlayTest::everyPresetPlaysItsFirstNotes() {
    WindowRig rig(1);
    for (const tambrel::patterns::Preset& preset : tambrel::patterns::allPresets()) {
        const std::string_view name = tambrel::ui::presetMenuItem(preset.caption)->objectName;
        const QString item = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
        auto* action = rig.window->findChild<QAction*>(item);
        QVERIFY2(action, qPrintable(item));
        action->trigger();
        QCOMPARE(rig.text(QStringLiteral("Label23")), QString::number(preset.tempo));

        // The bar's notes as the grid now holds them, step by step, track 1 first.
        auto& engine = rig.engine();
        std::vector<std::uint32_t> bar;
        for (int step = 1; step <= engine.stepsPerBar(); ++step) {
            const auto notes = engine.BuildStepString(step);
            for (int t = 1; t <= tambrel::engine::kTracks; ++t) {
                if (notes.chars[static_cast<std::size_t>(t - 1)] == '1') {
                    bar.push_back(tambrel::engine::noteOnMessage(engine.trigger().key(t),
                                                                 engine.trigger().velocity(t)));
                }
            }
        }
        QVERIFY2(!bar.empty(), qPrintable(item));
        const std::size_t wanted = std::min<std::size_t>(bar.size(), 4);

        rig.recorder.clear();
        rig.click(QStringLiteral("BitBtn1"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.size() >= wanted, 8000);
        rig.click(QStringLiteral("BitBtn2"));
        const auto received = rig.recorder.messages();
        for (std::size_t i = 0; i < wanted; ++i) {
            QVERIFY2(received[i].message == bar[i],
                     qPrintable(QStringLiteral("%1: note %2").arg(item).arg(i)));
        }
    }
}

QTEST_MAIN(PresetsPlayTest)
#include "presets_play_test.moc"
