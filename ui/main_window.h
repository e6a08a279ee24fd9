#pragma once
// Tambrel's one window. It mirrors the Qt-free machine: each handler reads its control,
// calls one operation of the machine, then refresh() shows the machine's state again.
// No rule of the drum machine is decided here.
//
// The controls carry numbered names, as pattern files, tests and the help speak of them:
//   BitBtn1 Play, BitBtn2 Stop, BitBtn5 Presets (opens PopupMenu1), BitBtn3 Clear,
//   BitBtn4 Close, BitBtn6 Volume (the mixer), BitBtn7 Help;
//   SpeedButton1 Save, SpeedButton2 Load;
//   UpDown1 MIDI device spinner, PosLabel its number, Label1 its name, Label4 "Midi Device:";
//   UpDown2 tempo spinner, Label23 the tempo, Label3 "Tempo";
//   UpDown3 time-signature spinner, playModeLabel the signature, TimeSigLabel its caption;
//   per track t: ComboBox<t> instrument, TrackBar<t> volume, and the labels
//   Label5/14 (track 1), 6/9, 7/10, 8/11, 16/15, 18/17, 20/19, 22/21 (track 8): the
//   "Track t  Volume:" caption, then the volume;
//   Panel<t>, Panel<t>b, c, d: the track's four cell groups, holding Tr<t>Label1..16;
//   Panel9 the bottom bar.
// Each spinner's handler (UpDown1Changing ...) runs before the click moves it.

#include "machine/machine.h"

#include <QPoint>
#include <QString>
#include <QTimer>
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

    explicit TForm1(tambrel::machine::Machine& machine, QWidget* parent = nullptr);
    ~TForm1() override;

    tambrel::machine::Machine& machine() noexcept { return machine_; }

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
    // Loads a pattern file as the Load button does once a name is chosen (the command
    // line's file too): all or nothing, and a bad file shows the load message.
    void openPatternFile(const QString& name);
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
    void buildTransportRow();
    void buildSelectors();
    void buildTrackRow(int track);
    void buildCellGroups(int track);
    void buildBottomBar();
    void buildPresetMenu();
    void setTabOrder();
    QLabel* addLabel(const char* name, const QString& text, QPoint at, bool value);
    static QString latin1(const std::string& bytes);

    tambrel::machine::Machine& machine_;
    bool closed_ = false;
    // While Tambrel follows another program's time: looks at it often enough that Play,
    // Stop and the tempo label show what it does within a fraction of a beat.
    QTimer* followTimer_ = nullptr;
    // The source tells of its changes: while stopped, the timer runs only a little while
    // after each (stillLooks_ counts its looks since), and a stopped window costs nothing.
    bool followTells_ = false;
    int stillLooks_ = 0;
    void followLook();
    // Any thread: the followed source changed.
    static void followedChanged(void* window) noexcept;

    // The controls that refresh() and the tab order need; the rest are found by name.
    QPushButton* bitBtn1_ = nullptr;
    QPushButton* bitBtn2_ = nullptr;
    QLabel* posLabel_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* label23_ = nullptr;
    QLabel* playModeLabel_ = nullptr;
    QFrame* panel9_ = nullptr;
    QMenu* popupMenu1_ = nullptr;
    std::array<UpDown*, 3> upDowns_{}; // UpDown1, 2, 3

    std::array<QComboBox*, tambrel::engine::kTracks> comboBoxes_{};
    std::array<QSlider*, tambrel::engine::kTracks> trackBars_{};
    std::array<QLabel*, tambrel::engine::kTracks> volumeLabels_{};
    // panels_[track - 1][group]: the unsuffixed panel, then b, c, d
    std::array<std::array<QFrame*, 4>, tambrel::engine::kTracks> panels_{};
    std::array<std::array<CellLabel*, tambrel::engine::kCells>, tambrel::engine::kTracks> cells_{};

    QPoint presetMenuPoint_;
    QString lastSaveName_;
    QString lastOpenName_;
};
