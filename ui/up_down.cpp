#include "up_down.h"

#include <QToolButton>

UpDown::UpDown(tambrel::engine::Selector& selector, QWidget* parent)
    : QWidget(parent), selector_(selector), up_(new QToolButton(this)),
      down_(new QToolButton(this)) {
    up_->setObjectName(QStringLiteral("up"));
    down_->setObjectName(QStringLiteral("down"));
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {up_, down_}) {
        // Held down, an arrow keeps stepping, as the desktop's own spinners do.
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
    }
    connect(up_, &QToolButton::clicked, this, [this] { click(true); });
    connect(down_, &QToolButton::clicked, this, [this] { click(false); });
    resize(16, 24);
}

void UpDown::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int upper = height() / 2;
    up_->setGeometry(0, 0, width(), upper);
    down_->setGeometry(0, upper, width(), height() - upper);
}

void UpDown::click(bool up) {
    emit changing(up);
    selector_.step(up);
    emit stepped();
}
