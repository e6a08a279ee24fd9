#pragma once
// Tambrel's one window. It mirrors the Qt-free machine: each handler reads its control,
// calls one operation of the machine, then refresh() shows the machine's state again.
// No rule of the drum machine is decided here.

#include "midi/machine.h"

#include <QPoint>
#include <QString>
#include <QWidget>

#include <array>

class CellLabel;
class QComboBox;
class QFileDialog;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class QToolButton;
class UpDown;

namespace tambrel::patterns {
struct Preset;
}

class TForm1 : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 595;
    static constexpr int kClientHeight = 403;

    explicit TForm1(tambrel::midi::Machine& machine, QWidget* parent = nullptr);
    ~TForm1() override;

    tambrel::midi::Machine& machine() noexcept { return machine_; }

    // Shows every control's value from the machine. Values set here raise no handler.
    void refresh();

    // --- handlers, named after their controls and events
    void FormCreate();
    void FormClose();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void Tr1Label1Click(CellLabel* cell);
    void UpDown1Changing();
    void UpDown2Changing();
    void UpDown3Changing();
    void ComboBox1Change() { ComboBoxChange(1); }
    void ComboBox2Change() { ComboBoxChange(2); }
    void ComboBox3Change() { ComboBoxChange(3); }
    void ComboBox4Change() { ComboBoxChange(4); }
    void ComboBox5Change() { ComboBoxChange(5); }
    void ComboBox6Change() { ComboBoxChange(6); }
    void ComboBox7Change() { ComboBoxChange(7); }
    void ComboBox8Change() { ComboBoxChange(8); }
    void TrackBar1Change() { TrackBarChange(1); }
    void TrackBar2Change() { TrackBarChange(2); }
    void TrackBar3Change() { TrackBarChange(3); }
    void TrackBar4Change() { TrackBarChange(4); }
    void TrackBar5Change() { TrackBarChange(5); }
    void TrackBar6Change() { TrackBarChange(6); }
    void TrackBar7Change() { TrackBarChange(7); }
    void TrackBar8Change() { TrackBarChange(8); }
    // The shared bodies: each track's handlers act on their own track only.
    void ComboBoxChange(int track);
    void TrackBarChange(int track);
    void SpeedButton1Click();
    void SpeedButton2Click();
    void BitBtn5Click();
    void PresetClick(const tambrel::patterns::Preset& preset);
    void BitBtn6Click();
    void BitBtn7Click();

    // Where the Presets menu was last asked to open, in screen coordinates.
    QPoint presetMenuPoint() const noexcept { return presetMenuPoint_; }
    QMenu* presetMenu() const noexcept { return popupMenu1_; }

    // The two file dialogs as they are shown (the caller owns them).
    QFileDialog* makeSaveDialog();
    QFileDialog* makeOpenDialog();

    // Fixed texts of the window.
    static const QString kTitle;
    static const QString kDeviceErrorMessage;
    static const QString kMixerErrorMessage;
    static const QString kSaveFilter;
    static const QString kOpenFilter;

protected:
    void closeEvent(QCloseEvent* event) override;

    // The file name chosen in the save or open dialog; empty when cancelled. Tests
    // override these to choose without a dialog.
    virtual QString askSaveFileName();
    virtual QString askOpenFileName();
    // Every message box of the window goes through here (tests record instead).
    virtual void showMessage(const QString& text);
    // Opens the Presets menu at a screen point.
    virtual void popupPresetMenu(const QPoint& at);

private:
    void buildControls();
    void buildPresetMenu();
    void setTabOrder();
    QLabel* addLabel(const char* name, const QString& text, int left, int top, bool value);
    QPushButton* addButton(QWidget* parent, const char* name, const QString& text,
                           const QRect& geometry, const char* icon, bool hasDisabledIcon);
    static QString latin1(const std::string& bytes);

    tambrel::midi::Machine& machine_;
    bool closed_ = false;

    QPushButton* bitBtn1_ = nullptr;
    QPushButton* bitBtn2_ = nullptr;
    QPushButton* bitBtn3_ = nullptr;
    QPushButton* bitBtn4_ = nullptr;
    QPushButton* bitBtn5_ = nullptr;
    QPushButton* bitBtn6_ = nullptr;
    QPushButton* bitBtn7_ = nullptr;
    QToolButton* speedButton1_ = nullptr;
    QToolButton* speedButton2_ = nullptr;
    UpDown* upDown1_ = nullptr;
    UpDown* upDown2_ = nullptr;
    UpDown* upDown3_ = nullptr;
    QLabel* posLabel_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* label23_ = nullptr;
    QLabel* playModeLabel_ = nullptr;
    QFrame* panel9_ = nullptr;
    QMenu* popupMenu1_ = nullptr;

    std::array<QComboBox*, 8> comboBoxes_{};
    std::array<QSlider*, 8> trackBars_{};
    std::array<QLabel*, 8> volumeLabels_{};
    // panels_[track - 1][group]: the unsuffixed panel, then b, c, d
    std::array<std::array<QFrame*, 4>, 8> panels_{};
    std::array<std::array<CellLabel*, 16>, 8> cells_{};

    QPoint presetMenuPoint_;
    QString lastSaveName_;
    QString lastOpenName_;
};
