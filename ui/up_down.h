#pragma once
// The up-down spinner: two small arrow buttons stacked, no edit box, over one of the
// machine's selectors. A click first raises changing(up), while the selector still holds
// the position before the click (the window's handler acts on that position), then moves
// the selector one step and raises stepped(). The program may set the position without
// any notification.

#include "engine/selector.h"

#include <QWidget>

class QToolButton;

class UpDown : public QWidget {
    Q_OBJECT
public:
    UpDown(tambrel::engine::Selector& selector, QWidget* parent = nullptr);

    tambrel::engine::Selector& selector() noexcept { return selector_; }
    QToolButton* upButton() const noexcept { return up_; }
    QToolButton* downButton() const noexcept { return down_; }

signals:
    void changing(bool up);
    void stepped();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void click(bool up);

    tambrel::engine::Selector& selector_;
    QToolButton* up_;
    QToolButton* down_;
};
