#include "ui/accessibility.h"

#include "cell_label.h"

#include <QAccessibleWidget>

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

} // namespace

void installAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(makeInterface);
        return true;
    }();
    (void)installed;
}

} // namespace tambrel::ui
