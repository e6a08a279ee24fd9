#include "main_window.h"

#include "cell_label.h"
#include "up_down.h"

#include "midi/drum_catalogue.h"
#include "patterns/pattern_file.h"
#include "patterns/preset_data.h"
#include "patterns/presets.h"
#include "ui/accessibility.h"
#include "ui/grid_layout.h"
#include "ui/help_window.h"
#include "ui/mixer_launcher.h"
#include "ui/preset_menu.h"
#include "ui/resources.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>

using tambrel::engine::kCells;
using tambrel::engine::kTracks;

const QString TForm1::kTitle = QStringLiteral("Tambrel");
const QString TForm1::kDeviceErrorMessage = QStringLiteral(" Midi Device Error  ");
const QString TForm1::kMixerErrorMessage =
    QStringLiteral("Couldn't find windows audio mixer application.");
// The save dialog shows its filter without the dot; both dialogs list "*.qel" files.
const QString TForm1::kSaveFilter = QStringLiteral("Tambrel (*qel) (*.qel)");
const QString TForm1::kOpenFilter = QStringLiteral("Tambrel (*.qel)");

namespace {

using Handler = void (TForm1::*)();

// A bitmap button: its place, its caption, its glyph (with a greyed picture for the
// disabled state or not) and its click handler.
struct ButtonEntry {
    const char* name;
    const char* caption;
    QRect geometry;
    const char* glyph;
    bool hasDisabledGlyph;
    Handler handler;
};

const ButtonEntry kTransportButtons[] = {
    {"BitBtn1", "&Play", {16, 16, 61, 25}, "play", true, &TForm1::BitBtn1Click},
    {"BitBtn2", "S&top", {82, 16, 61, 25}, "stop", true, &TForm1::BitBtn2Click},
    {"BitBtn5", "Presets", {16, 48, 127, 25}, "presets", true, &TForm1::BitBtn5Click},
};

// Close has no handler of its own: it closes the window as the title bar does.
const ButtonEntry kBottomBarButtons[] = {
    {"BitBtn6", "Volume", {16, 8, 66, 25}, "volume", false, &TForm1::BitBtn6Click},
    {"BitBtn7", "Help", {95, 8, 61, 25}, "help", true, &TForm1::BitBtn7Click},
    {"BitBtn3", "C&lear", {448, 8, 61, 25}, "clear", false, &TForm1::BitBtn3Click},
    {"BitBtn4", "&Close", {522, 8, 61, 25}, "close", true, nullptr},
};

// The flat buttons of the files: a glyph and a hint, no caption.
struct SpeedButtonEntry {
    const char* name;
    QRect geometry;
    const char* glyph;
    const char* hint;
    Handler handler;
};

const SpeedButtonEntry kSpeedButtons[] = {
    {"SpeedButton2",
     {148, 16, 25, 25},
     "load",
     "Load Pattern From File",
     &TForm1::SpeedButton2Click},
    {"SpeedButton1", {148, 48, 25, 25}, "save", "Save Pattern To File", &TForm1::SpeedButton1Click},
};

// Bold labels at a point; a value label is red.
struct LabelEntry {
    const char* name;
    const char* text;
    QPoint at;
    bool value;
};

const LabelEntry kSelectorLabels[] = {
    {"Label4", "Midi Device:", {208, 22}, false},
    {"PosLabel", "0", {286, 22}, true},
    {"Label1", "None", {303, 22}, true},
    {"Label3", "Tempo", {208, 54}, false},
    {"Label23", "120", {255, 54}, true},
    {"TimeSigLabel", "Time Signature:", {313, 54}, false},
    {"playModeLabel", "4/4", {409, 54}, true},
};

// A spinner: its place and its handler.
struct UpDownEntry {
    const char* name;
    QRect geometry;
    Handler handler;
};

const UpDownEntry kUpDowns[] = {
    {"UpDown1", {184, 16, 16, 24}, &TForm1::UpDown1Changing},
    {"UpDown2", {184, 48, 16, 24}, &TForm1::UpDown2Changing},
    {"UpDown3", {288, 48, 16, 24}, &TForm1::UpDown3Changing},
};

// A track row's controls are numbered, not named by role, and not in track order.
struct TrackRowEntry {
    const char* nameLabel;
    const char* volumeLabel;
    Handler comboBoxChange;
    Handler trackBarChange;
};

const std::array<TrackRowEntry, kTracks> kTrackRows = {{
    {"Label5", "Label14", &TForm1::ComboBox1Change, &TForm1::TrackBar1Change},
    {"Label6", "Label9", &TForm1::ComboBox2Change, &TForm1::TrackBar2Change},
    {"Label7", "Label10", &TForm1::ComboBox3Change, &TForm1::TrackBar3Change},
    {"Label8", "Label11", &TForm1::ComboBox4Change, &TForm1::TrackBar4Change},
    {"Label16", "Label15", &TForm1::ComboBox5Change, &TForm1::TrackBar5Change},
    {"Label18", "Label17", &TForm1::ComboBox6Change, &TForm1::TrackBar6Change},
    {"Label20", "Label19", &TForm1::ComboBox7Change, &TForm1::TrackBar7Change},
    {"Label22", "Label21", &TForm1::ComboBox8Change, &TForm1::TrackBar8Change},
}};

// Track 1's row; every next row sits one pitch lower.
constexpr int kRowPitch = 32;
constexpr QPoint kNameLabelAt{16, 102};
constexpr QRect kVolumeLabelAt{120, 102, 22, 13};
constexpr QRect kTrackBarAt{150, 96, 65, 25};
constexpr QRect kComboBoxAt{224, 98, 137, 21};
constexpr int kPanelTop = 98;
constexpr int kPanelHeight = 21;
constexpr std::array<const char*, 4> kPanelSuffixes = {"", "b", "c", "d"};

constexpr int kBottomBarHeight = 41;
// How often a followed source of time is looked at: while playing, so that Play and the
// tempo label follow within 100 ms; while stopped, seldom enough to cost next to nothing
// and still within that.
constexpr int kFollowLookMs = 20;
constexpr int kFollowLookStoppedMs = 50;
// A source that tells of its changes is looked at this many times after each while
// stopped: longer than a tempo proposed from the spinner is shown before the session's.
constexpr int kFollowLooksAfterChange = 15;

QString fromView(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QFont windowFont() {
    // The closest sans to the classic 8-point dialog face, at its pixel size. DejaVu
    // runs wider than that face: semi-condensed, the captions fit the places the
    // layout gives them ("Time Signature:" must end before the signature's value).
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    font.setStretch(QFont::SemiCondensed);
    return font;
}

QIcon glyph(const char* name, bool hasDisabled) {
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/%1.xpm").arg(QLatin1String(name)), QSize(), QIcon::Normal);
    if (hasDisabled) {
        icon.addFile(QStringLiteral(":/icons/%1_disabled.xpm").arg(QLatin1String(name)), QSize(),
                     QIcon::Disabled);
    }
    return icon;
}

QPushButton* addButton(TForm1* window, QWidget* parent, const ButtonEntry& entry) {
    auto* button = new QPushButton(QString::fromLatin1(entry.caption), parent);
    button->setObjectName(QLatin1String(entry.name));
    button->setGeometry(entry.geometry);
    button->setIcon(glyph(entry.glyph, entry.hasDisabledGlyph));
    button->setAutoDefault(false);
    if (entry.handler != nullptr) {
        QObject::connect(button, &QPushButton::clicked, window, entry.handler);
    } else {
        QObject::connect(button, &QPushButton::clicked, window, &QWidget::close);
    }
    return button;
}

} // namespace

TForm1::TForm1(tambrel::machine::Machine& machine, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      machine_(machine) {
    tambrel::useResources(); // before the first button asks for its glyph
    tambrel::ui::installAccessibility();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kTitle);
    setWindowIcon(tambrel::applicationIcon());
    setFont(windowFont());
    setFixedSize(kClientWidth, kClientHeight);
    buildControls();
    tambrel::ui::describeControls(*this);
    buildPresetMenu();
    setTabOrder();
    refresh();
}

TForm1::~TForm1() {
    if (followTells_) {
        // Returns once no call of the source's can post to this window any more.
        (void)machine_.engine().listenToFollowed({});
    }
}

QString TForm1::latin1(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QLabel* TForm1::addLabel(const char* name, const QString& text, QPoint at, bool value) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QLatin1String(name));
    QFont font = this->font();
    font.setBold(true);
    label->setFont(font);
    if (value) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, Qt::red);
        label->setPalette(palette);
    }
    label->move(at);
    label->adjustSize();
    return label;
}

void TForm1::buildControls() {
    buildTransportRow();
    buildSelectors();
    for (int t = 1; t <= kTracks; ++t) {
        buildTrackRow(t);
    }
    buildBottomBar();
}

void TForm1::buildTransportRow() {
    for (const ButtonEntry& entry : kTransportButtons) {
        addButton(this, this, entry);
    }
    bitBtn1_ = findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    bitBtn2_ = findChild<QPushButton*>(QStringLiteral("BitBtn2"));
    for (const SpeedButtonEntry& entry : kSpeedButtons) {
        auto* button = new QToolButton(this);
        button->setObjectName(QLatin1String(entry.name));
        button->setGeometry(entry.geometry);
        button->setAutoRaise(true); // flat until the mouse is over it
        button->setFocusPolicy(Qt::NoFocus);
        button->setIcon(glyph(entry.glyph, true));
        button->setIconSize(QSize(16, 16));
        button->setToolTip(QString::fromLatin1(entry.hint));
        connect(button, &QToolButton::clicked, this, entry.handler);
    }
}

void TForm1::buildSelectors() {
    auto& engine = machine_.engine();
    tambrel::engine::Selector* selectors[] = {
        &machine_.device().selector(), &engine.tempoSelector(), &engine.timeSignatureSelector()};
    for (std::size_t i = 0; i < std::size(kUpDowns); ++i) {
        auto* upDown = new UpDown(*selectors[i], this);
        upDown->setObjectName(QLatin1String(kUpDowns[i].name));
        upDown->setGeometry(kUpDowns[i].geometry);
        connect(upDown, &UpDown::changing, this, kUpDowns[i].handler);
        connect(upDown, &UpDown::stepped, this, &TForm1::refresh);
        upDowns_[i] = upDown;
    }
    for (const LabelEntry& entry : kSelectorLabels) {
        addLabel(entry.name, QString::fromLatin1(entry.text), entry.at, entry.value);
    }
    posLabel_ = findChild<QLabel*>(QStringLiteral("PosLabel"));
    label1_ = findChild<QLabel*>(QStringLiteral("Label1"));
    label23_ = findChild<QLabel*>(QStringLiteral("Label23"));
    playModeLabel_ = findChild<QLabel*>(QStringLiteral("playModeLabel"));
}

void TForm1::buildTrackRow(int track) {
    const auto i = static_cast<std::size_t>(track - 1);
    const TrackRowEntry& entry = kTrackRows[i];
    const QPoint down(0, kRowPitch * (track - 1));

    QLabel* name = addLabel(entry.nameLabel, QStringLiteral("Track %1  Volume:").arg(track),
                            kNameLabelAt + down, false);
    name->setFixedHeight(kVolumeLabelAt.height());
    volumeLabels_[i] = addLabel(entry.volumeLabel, QStringLiteral("100"), {}, true);
    volumeLabels_[i]->setGeometry(kVolumeLabelAt.translated(down));

    auto* bar = new QSlider(Qt::Horizontal, this);
    bar->setObjectName(QStringLiteral("TrackBar%1").arg(track));
    bar->setGeometry(kTrackBarAt.translated(down));
    bar->setRange(tambrel::midi::kVolumeMin, tambrel::midi::kVolumeMax);
    bar->setTickInterval(12);
    bar->setTickPosition(QSlider::TicksBelow);
    bar->setValue(machine_.tracks().volume(track));
    connect(bar, &QSlider::valueChanged, this, entry.trackBarChange);
    trackBars_[i] = bar;

    // An instrument name is one line of 8-bit text in a pattern file: no NUL, CR or LF.
    static const QRegularExpression kInstrumentText(
        QStringLiteral("[\\x{01}-\\x{09}\\x{0B}\\x{0C}\\x{0E}-\\x{FF}]*"));
    auto* combo = new QComboBox(this);
    combo->setObjectName(QStringLiteral("ComboBox%1").arg(track));
    combo->setGeometry(kComboBoxAt.translated(down));
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert); // typing never adds to the list
    for (const std::string& item : tambrel::midi::instrumentItems()) {
        combo->addItem(latin1(item));
    }
    combo->setMaxVisibleItems(8);
    combo->lineEdit()->setValidator(new QRegularExpressionValidator(kInstrumentText, combo));
    combo->setEditText(latin1(machine_.tracks().instrumentText(track)));
    connect(combo, &QComboBox::currentTextChanged, this, entry.comboBoxChange);
    comboBoxes_[i] = combo;

    buildCellGroups(track);
}

void TForm1::buildCellGroups(int track) {
    const auto i = static_cast<std::size_t>(track - 1);
    const int top = kPanelTop + kRowPitch * (track - 1);
    for (std::size_t g = 0; g < kPanelSuffixes.size(); ++g) {
        auto* panel = new QFrame(this);
        panel->setObjectName(QStringLiteral("Panel%1%2").arg(track).arg(kPanelSuffixes[g]));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setLineWidth(1);
        panel->setAutoFillBackground(true);
        QPalette palette = panel->palette();
        palette.setColor(QPalette::Window, Qt::black);
        panel->setPalette(palette);
        const auto built = tambrel::engine::TimeSig::FourFour;
        panel->setGeometry(tambrel::ui::panelLeft(built, static_cast<int>(g)), top,
                           tambrel::ui::gridLayout(built).panelWidth, kPanelHeight);
        panels_[i][g] = panel;
        for (int k = 0; k < tambrel::ui::kCellsPerPanel; ++k) {
            const int c = tambrel::ui::kCellsPerPanel * static_cast<int>(g) + k + 1;
            auto* cell = new CellLabel(track, c, panel);
            const tambrel::ui::CellBox box = tambrel::ui::cellBox(k);
            cell->setGeometry(box.left, box.top, box.width, box.height);
            connect(cell, &CellLabel::clicked, this, &TForm1::Tr1Label1Click);
            cells_[i][static_cast<std::size_t>(c - 1)] = cell;
        }
    }
}

void TForm1::buildBottomBar() {
    panel9_ = new QFrame(this);
    panel9_->setObjectName(QStringLiteral("Panel9"));
    panel9_->setFrameStyle(QFrame::NoFrame);
    panel9_->setGeometry(0, kClientHeight - kBottomBarHeight, kClientWidth, kBottomBarHeight);
    for (const ButtonEntry& entry : kBottomBarButtons) {
        addButton(this, panel9_, entry);
    }
}

void TForm1::buildPresetMenu() {
    popupMenu1_ = new QMenu(this);
    popupMenu1_->setObjectName(QStringLiteral("PopupMenu1"));
    for (const std::string_view group : tambrel::patterns::kPresetGroups) {
        QMenu* submenu = popupMenu1_->addMenu(fromView(group));
        const QString groupName = fromView(tambrel::ui::presetGroupItemName(group));
        submenu->setObjectName(groupName + QStringLiteral("Menu"));
        submenu->menuAction()->setObjectName(groupName);
        for (const tambrel::patterns::Preset& preset : tambrel::patterns::allPresets()) {
            if (preset.group != group) {
                continue;
            }
            QAction* item = submenu->addAction(fromView(preset.caption));
            if (const auto* menuItem = tambrel::ui::presetMenuItem(preset.caption)) {
                item->setObjectName(fromView(menuItem->objectName));
            }
            connect(item, &QAction::triggered, this, [this, &preset] { PresetClick(preset); });
        }
    }
}

void TForm1::setTabOrder() {
    QList<QWidget*> order = {bitBtn1_,       bitBtn2_,       comboBoxes_[0], trackBars_[0],
                             comboBoxes_[1], comboBoxes_[2], comboBoxes_[3], trackBars_[1],
                             trackBars_[2],  trackBars_[3]};
    for (std::size_t i = 4; i < comboBoxes_.size(); ++i) {
        order << comboBoxes_[i] << trackBars_[i];
    }
    for (const char* name : {"BitBtn4", "BitBtn3", "BitBtn6", "BitBtn7", "BitBtn5"}) {
        order << findChild<QPushButton*>(QLatin1String(name));
    }
    for (qsizetype i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
}

void TForm1::refresh() {
    const auto& engine = machine_.engine();
    const auto sig = engine.timeSignature();
    const auto& layout = tambrel::ui::gridLayout(sig);

    for (int t = 1; t <= kTracks; ++t) {
        const auto i = static_cast<std::size_t>(t - 1);
        auto& panels = panels_[i];
        for (std::size_t g = 0; g < 4; ++g) {
            QFrame* panel = panels[g];
            panel->setGeometry(tambrel::ui::panelLeft(sig, static_cast<int>(g)), panel->y(),
                               layout.panelWidth, panel->height());
            panel->setVisible(g < 3 || layout.dPanelsShown);
        }
        for (int c = 1; c <= kCells; ++c) {
            CellLabel* cell = cells_[i][static_cast<std::size_t>(c - 1)];
            cell->showOn(engine.grid().isOn(t, c));
            cell->setVisible(!tambrel::ui::cellHidden(sig, c));
        }

        QComboBox* combo = comboBoxes_[i];
        const QString text = latin1(machine_.tracks().instrumentText(t));
        if (combo->currentText() != text) {
            const QSignalBlocker block(combo);
            combo->setEditText(text);
        }
        const int volume = machine_.tracks().volume(t);
        if (trackBars_[i]->value() != volume) {
            const QSignalBlocker block(trackBars_[i]);
            trackBars_[i]->setValue(volume);
        }
        volumeLabels_[i]->setText(QString::number(volume));
    }

    label23_->setText(QString::number(engine.tempo()));
    label23_->adjustSize();
    playModeLabel_->setText(QString::fromLatin1(engine.timeSignatureText()));
    playModeLabel_->adjustSize();
    posLabel_->setText(QString::number(machine_.device().deviceNumber()));
    posLabel_->adjustSize();
    label1_->setText(QString::fromStdString(machine_.device().deviceName()));
    label1_->adjustSize();

    // Exactly one of Play and Stop is enabled: Play only when the clock is stopped.
    const bool stopped = engine.playState() == tambrel::engine::PlayState::Stopped;
    bitBtn1_->setEnabled(stopped);
    bitBtn2_->setEnabled(!stopped);
    const auto& device = machine_.device();
    tambrel::ui::describeSpinners(upDowns_, {device.deviceNumber(), device.deviceName(),
                                             engine.tempo(), engine.timeSignatureText()});
    tambrel::ui::nameCells(cells_, sig);
}

// --- window events

void TForm1::FormCreate() {
    machine_.device().startup();
    refresh();
    if (machine_.engine().following() && followTimer_ == nullptr) {
        followTimer_ = new QTimer(this);
        followTimer_->setInterval(kFollowLookMs);
        connect(followTimer_, &QTimer::timeout, this, &TForm1::followLook);
        followTells_ = machine_.engine().listenToFollowed({&TForm1::followedChanged, this});
        followTimer_->start();
    }
}

void TForm1::followLook() {
    if (machine_.engine().followTick()) {
        refresh();
    }
    const bool playing = machine_.engine().playState() == tambrel::engine::PlayState::Playing;
    stillLooks_ = playing ? 0 : stillLooks_ + 1;
    if (followTells_ && stillLooks_ >= kFollowLooksAfterChange) {
        // Stopped, and nothing changed for a while: the next change starts the looks again.
        followTimer_->stop();
        return;
    }
    const int interval = playing || followTells_ ? kFollowLookMs : kFollowLookStoppedMs;
    if (followTimer_->interval() != interval) {
        followTimer_->setInterval(interval);
    }
}

void TForm1::followedChanged(void* window) noexcept {
    auto* self = static_cast<TForm1*>(window);
    try {
        QMetaObject::invokeMethod(
            self,
            [self] {
                self->stillLooks_ = 0;
                if (!self->followTimer_->isActive()) {
                    self->followTimer_->start();
                }
            },
            Qt::QueuedConnection);
    } catch (...) {
        // Out of memory: the next change, or Play, starts the looks.
    }
}

void TForm1::FormClose() {
    // The clock is halted inside closeAtExit before the device closes.
    if (!machine_.device().closeAtExit()) {
        showMessage(kDeviceErrorMessage);
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        FormClose();
    }
    event->accept();
}

// --- transport and grid

void TForm1::BitBtn1Click() {
    machine_.engine().StartPlayback();
    refresh();
}

void TForm1::BitBtn2Click() {
    machine_.engine().StopPlayback();
    refresh();
}

void TForm1::BitBtn3Click() {
    machine_.engine().ClearPattern();
    refresh();
}

void TForm1::Tr1Label1Click(CellLabel* cell) {
    machine_.engine().grid().toggle(cell->track(), cell->cell());
    refresh();
}

// --- spinners: each acts on the position before the click

void TForm1::UpDown1Changing() {
    machine_.device().switchToSelectedDevice();
    refresh();
}

void TForm1::UpDown2Changing() {
    machine_.engine().UpdateStepPeriod();
    refresh();
}

void TForm1::UpDown3Changing() {
    machine_.engine().selectTimeSignatureFromSelector();
    refresh();
}

// --- track settings

void TForm1::ComboBoxChange(int track) {
    const QComboBox* combo = comboBoxes_[static_cast<std::size_t>(track - 1)];
    machine_.tracks().instrumentChanged(track, combo->currentText().toLatin1().toStdString());
    refresh();
}

void TForm1::TrackBarChange(int track) {
    machine_.tracks().setVolume(track, trackBars_[static_cast<std::size_t>(track - 1)]->value());
    refresh();
}

// --- files

QFileDialog* TForm1::makeSaveDialog() {
    auto* dialog = new QFileDialog(this);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setOption(QFileDialog::HideNameFilterDetails);
    dialog->setNameFilter(kSaveFilter);
    dialog->setDefaultSuffix(QStringLiteral("qel"));
    if (!lastSaveName_.isEmpty()) {
        dialog->selectFile(lastSaveName_);
    }
    return dialog;
}

QFileDialog* TForm1::makeOpenDialog() {
    auto* dialog = new QFileDialog(this);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    // A name typed into the dialog need not exist: the load then reports it.
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(kOpenFilter);
    dialog->setDefaultSuffix(QStringLiteral("qel"));
    if (!lastOpenName_.isEmpty()) {
        dialog->selectFile(lastOpenName_);
    }
    return dialog;
}

namespace {
// Runs a file dialog and gives the one name chosen, or an empty text when cancelled.
QString chosenFile(QFileDialog* dialog) {
    QString chosen;
    if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
        chosen = dialog->selectedFiles().constFirst();
    }
    delete dialog;
    return chosen;
}
} // namespace

QString TForm1::askSaveFileName() {
    return chosenFile(makeSaveDialog());
}

QString TForm1::askOpenFileName() {
    return chosenFile(makeOpenDialog());
}

void TForm1::SpeedButton1Click() {
    // What is saved is the pattern at the moment of the click, not after the dialog.
    const tambrel::patterns::PatternLines lines = tambrel::patterns::BuildPatternLines(machine_);
    const QString name = askSaveFileName();
    if (name.isEmpty()) {
        return;
    }
    lastSaveName_ = name;
    // Replaced whole or not at all: a failed save never costs the user the file they had.
    bool saved = false;
    try {
        saved = tambrel::patterns::savePatternFile(lines, QFile::encodeName(name).toStdString());
    } catch (...) {
        saved = false; // out of memory: the file was not touched
    }
    if (!saved) {
        showMessage(QString::fromLatin1(tambrel::patterns::kSaveErrorMessage));
    }
}

void TForm1::SpeedButton2Click() {
    const QString name = askOpenFileName();
    if (!name.isEmpty()) {
        openPatternFile(name);
    }
}

void TForm1::openPatternFile(const QString& name) {
    lastOpenName_ = name;
    // Parsed whole before anything changes: a bad file leaves the pattern as it was.
    bool loaded = false;
    try {
        loaded =
            tambrel::patterns::loadPatternFile(machine_, QFile::encodeName(name).toStdString());
    } catch (...) {
        loaded = false; // out of memory while reading: nothing was applied
    }
    refresh();
    if (!loaded) {
        showMessage(QString::fromLatin1(tambrel::patterns::kLoadErrorMessage));
    }
}

// --- presets

void TForm1::popupPresetMenu(const QPoint& at) {
    popupMenu1_->popup(at);
}

void TForm1::BitBtn5Click() {
    presetMenuPoint_ = frameGeometry().topLeft() + QPoint(148, 90);
    popupPresetMenu(presetMenuPoint_);
}

void TForm1::PresetClick(const tambrel::patterns::Preset& preset) {
    bool applied = true;
    try {
        tambrel::patterns::applyPreset(machine_, preset);
    } catch (...) {
        applied = false; // nothing of the preset was applied
    }
    refresh();
    if (!applied) {
        showMessage(QString::fromLatin1(tambrel::patterns::kPresetErrorMessage));
    }
}

// --- side commands

void TForm1::BitBtn6Click() {
    if (!tambrel::launchMixer()) {
        showMessage(kMixerErrorMessage);
    }
}

void TForm1::BitBtn7Click() {
    tambrel::showHelp(this);
}

void TForm1::showMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, this);
    box.exec();
}
