#pragma once
// The up-down spinner: two small arrow buttons stacked, no edit box. A click first
// raises changing(up), while the spinner still holds the position before the click (the
// window's handler acts on that position), then moves the spinner one step and raises
// stepped(). The program may set the spinner's position without any notification.

#include "engine/spinner.h"

#include <QWidget>

class QToolButton;

class UpDown : public QWidget {
    Q_OBJECT
public:
    UpDown(tambrel::engine::Spinner& spinner, QWidget* parent = nullptr);

    tambrel::engine::Spinner& spinner() noexcept { return spinner_; }
    QToolButton* upButton() const noexcept { return up_; }
    QToolButton* downButton() const noexcept { return down_; }

signals:
    void changing(bool up);
    void stepped();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void click(bool up);

    tambrel::engine::Spinner& spinner_;
    QToolButton* up_;
    QToolButton* down_;
};
