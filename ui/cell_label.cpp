#include "cell_label.h"

#include <QAccessible>
#include <QMouseEvent>

CellLabel::CellLabel(int track, int cell, QWidget* parent)
    : QLabel(parent), track_(track), cell_(cell) {
    setObjectName(QStringLiteral("Tr%1Label%2").arg(track).arg(cell));
    setAutoFillBackground(true);
    QFont font = this->font();
    font.setBold(true);
    font.setPixelSize(13);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 128)); // navy
    setPalette(palette);
    setColor(kOffColor);
}

void CellLabel::showOn(bool on) {
    setColor(on ? kOnColor : kOffColor);
    if (on == on_) {
        return;
    }
    on_ = on;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

QColor CellLabel::color() const {
    return palette().color(QPalette::Window);
}

void CellLabel::setColor(const QColor& color) {
    if (color == this->color()) {
        return;
    }
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, color);
    setPalette(palette);
}

void CellLabel::click() {
    const QColor shown = color();
    if (shown == kOffColor || shown == kOnColor) {
        emit clicked(this);
    }
}

void CellLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    // A click is a press and a release over the cell, as with a button.
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        click();
    }
}
