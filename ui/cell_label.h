#pragma once
// One step cell of the grid: a small label whose background colour shows whether the
// cell is on. Its name ("Tr3Label12") tells the window its track and cell.

#include <QColor>
#include <QLabel>

class CellLabel : public QLabel {
    Q_OBJECT
public:
    static inline const QColor kOffColor{255, 255, 255};
    static inline const QColor kOnColor{57, 109, 165}; // 10841401 in the 0x00BBGGRR form

    CellLabel(int track, int cell, QWidget* parent = nullptr);

    QColor color() const;
    // A change of colour is told to assistive technology as a change of checked state.
    void setColor(const QColor& color);
    bool isOn() const { return color() == kOnColor; }

    // What a click does: raises clicked(). The accessible "press" comes here too.
    void click();

signals:
    void clicked(CellLabel* cell);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
