#include "ui/accessibility.h"

#include "cell_label.h"
#include "up_down.h"

#include "ui/grid_layout.h"

#include <QAccessibleWidget>
#include <QComboBox>
#include <QSlider>
#include <QToolButton>

namespace tambrel::ui {

namespace {

class CellAccessible : public QAccessibleWidget {
public:
    explicit CellAccessible(CellLabel* cell) : QAccessibleWidget(cell, QAccessible::CheckBox) {}

    CellLabel* cell() const { return static_cast<CellLabel*>(widget()); }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.checkable = true;
        state.checked = cell()->isOn();
        return state;
    }

    QStringList actionNames() const override { return {pressAction(), toggleAction()}; }

    void doAction(const QString& action) override {
        // Only what the mouse can reach: a cell the signature hides is not clicked.
        const bool inView = cell()->isVisibleTo(cell()->window());
        if ((action == pressAction() || action == toggleAction()) && inView) {
            cell()->click();
        }
    }

    QStringList keyBindingsForAction(const QString&) const override { return {}; }
};

QAccessibleInterface* makeInterface(const QString& className, QObject* object) {
    if (className == QLatin1String(CellLabel::staticMetaObject.className())) {
        if (auto* cell = qobject_cast<CellLabel*>(object)) {
            return new CellAccessible(cell);
        }
    }
    return nullptr;
}

// A name where a control has no caption, and what it does where no hint says it.
struct AccessibleText {
    const char* control;
    const char* name;        // nullptr: the caption names it
    const char* description; // nullptr: the hint describes it
};

const AccessibleText kAccessibleTexts[] = {
    {"BitBtn1", nullptr, "Plays the pattern in a loop from its first step"},
    {"BitBtn2", nullptr, "Stops playing"},
    {"BitBtn5", nullptr, "Replaces the pattern with a built-in rhythm"},
    {"SpeedButton2", "Load pattern", nullptr},
    {"SpeedButton1", "Save pattern", nullptr},
    {"BitBtn6", nullptr, "Opens the desktop's audio mixer"},
    {"BitBtn7", nullptr, "Opens the user guide"},
    {"BitBtn3", nullptr, "Switches every step of every track off"},
    {"BitBtn4", nullptr, "Closes Tambrel"},
};

// What each spinner sets, in a screen reader's words: its arrows are "<what> up" and
// "<what> down".
struct SpinnerText {
    const char* control;
    const char* what;
};

const SpinnerText kSpinnerTexts[] = {
    {"UpDown1", "MIDI device"},
    {"UpDown2", "Tempo"},
    {"UpDown3", "Time signature"},
};

void describeTrackRows(QWidget& window) {
    for (int t = 1; t <= engine::kTracks; ++t) {
        window.findChild<QSlider*>(QStringLiteral("TrackBar%1").arg(t))
            ->setAccessibleName(QStringLiteral("Track %1 volume").arg(t));
        // On Linux a combo box is named by its text; a screen reader says this after it.
        auto* combo = window.findChild<QComboBox*>(QStringLiteral("ComboBox%1").arg(t));
        combo->setAccessibleName(QStringLiteral("Track %1 instrument").arg(t));
        combo->setAccessibleDescription(combo->accessibleName());
    }
}

// Qt tells assistive technology of every text set, changed or not.
void setAccessibleNameOf(QWidget* widget, const QString& name) {
    if (widget->accessibleName() != name) {
        widget->setAccessibleName(name);
    }
}
void setAccessibleDescriptionOf(QWidget* widget, const QString& description) {
    if (widget->accessibleDescription() != description) {
        widget->setAccessibleDescription(description);
    }
}

} // namespace

void installAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(makeInterface);
        return true;
    }();
    (void)installed;
}

void describeControls(QWidget& window) {
    for (const AccessibleText& text : kAccessibleTexts) {
        auto* control = window.findChild<QWidget*>(QLatin1String(text.control));
        if (text.name != nullptr) {
            control->setAccessibleName(QString::fromLatin1(text.name));
        }
        if (text.description != nullptr) {
            control->setAccessibleDescription(QString::fromLatin1(text.description));
        }
    }
    for (const SpinnerText& text : kSpinnerTexts) {
        auto* upDown = window.findChild<UpDown*>(QLatin1String(text.control));
        const QString what = QString::fromLatin1(text.what);
        upDown->upButton()->setAccessibleName(what + QStringLiteral(" up"));
        upDown->downButton()->setAccessibleName(what + QStringLiteral(" down"));
    }
    describeTrackRows(window);
}

void describeSpinners(const std::array<UpDown*, 3>& upDowns, const SpinnerValues& values) {
    const std::array<QString, 3> texts = {
        QStringLiteral("MIDI device %1: %2")
            .arg(QString::number(values.deviceNumber), QString::fromStdString(values.deviceName)),
        QStringLiteral("Tempo %1").arg(values.tempo),
        QStringLiteral("Time signature %1").arg(QString::fromLatin1(values.timeSignature)),
    };
    for (std::size_t i = 0; i < upDowns.size(); ++i) {
        setAccessibleNameOf(upDowns[i], texts[i]);
        setAccessibleDescriptionOf(upDowns[i]->upButton(), texts[i]);
        setAccessibleDescriptionOf(upDowns[i]->downButton(), texts[i]);
    }
}

void nameCells(const CellRows& cells, engine::TimeSig sig) {
    for (int t = 1; t <= engine::kTracks; ++t) {
        for (int c = 1; c <= engine::kCells; ++c) {
            const int step = stepOfCell(sig, c);
            setAccessibleNameOf(
                cells[static_cast<std::size_t>(t - 1)][static_cast<std::size_t>(c - 1)],
                step != 0 ? QStringLiteral("Track %1 step %2").arg(t).arg(step)
                          : QStringLiteral("Track %1 cell %2").arg(t).arg(c));
        }
    }
}

} // namespace tambrel::ui
