#pragma once
// One step cell of the grid: a small label whose background colour shows whether the
// cell is on. It knows its track and cell from its making; its name ("Tr3Label12") is
// for tests and assistive technology, not for finding its place.

#include <QColor>
#include <QLabel>

class CellLabel : public QLabel {
    Q_OBJECT
public:
    static inline const QColor kOffColor{255, 255, 255};
    static inline const QColor kOnColor{57, 109, 165}; // 10841401 in the 0x00BBGGRR form

    CellLabel(int track, int cell, QWidget* parent = nullptr);

    int track() const { return track_; }
    int cell() const { return cell_; }

    // Shows the grid's state of this cell in the two cell colours. A change of state is
    // told to assistive technology as a change of checked state.
    void showOn(bool on);
    // The state last shown: the grid's, as the window last refreshed it.
    bool isOn() const { return on_; }

    QColor color() const;
    // A cell painted in neither cell colour is not a cell in use: it answers no click
    // until it shows a state again.
    void setColor(const QColor& color);

    // What a click does: raises clicked() while the cell is in use. The accessible
    // "press" comes here too.
    void click();

signals:
    void clicked(CellLabel* cell);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int track_;
    int cell_;
    bool on_ = false;
};
