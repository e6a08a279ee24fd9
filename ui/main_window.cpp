#include "main_window.h"

#include "cell_label.h"
#include "up_down.h"

#include "engine/time_signature.h"
#include "midi/drum_catalogue.h"
#include "patterns/pattern_file.h"
#include "patterns/preset_data.h"
#include "patterns/presets.h"
#include "ui/help_window.h"
#include "ui/mixer_launcher.h"
#include "ui/resources.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSaveFile>
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

constexpr int kRowPitch = 32;
constexpr int kBottomBarHeight = 41;
constexpr std::array<const char*, 8> kNameLabels = {"Label5",  "Label6",  "Label7",  "Label8",
                                                    "Label16", "Label18", "Label20", "Label22"};
constexpr std::array<const char*, 8> kVolumeLabels = {"Label14", "Label9",  "Label10", "Label11",
                                                      "Label15", "Label17", "Label19", "Label21"};
constexpr std::array<const char*, 4> kPanelSuffixes = {"", "b", "c", "d"};
constexpr std::array<void (TForm1::*)(), 8> kComboBoxHandlers = {
    &TForm1::ComboBox1Change, &TForm1::ComboBox2Change, &TForm1::ComboBox3Change,
    &TForm1::ComboBox4Change, &TForm1::ComboBox5Change, &TForm1::ComboBox6Change,
    &TForm1::ComboBox7Change, &TForm1::ComboBox8Change};
constexpr std::array<void (TForm1::*)(), 8> kTrackBarHandlers = {
    &TForm1::TrackBar1Change, &TForm1::TrackBar2Change, &TForm1::TrackBar3Change,
    &TForm1::TrackBar4Change, &TForm1::TrackBar5Change, &TForm1::TrackBar6Change,
    &TForm1::TrackBar7Change, &TForm1::TrackBar8Change};

// The Presets menu's group items, by their captions.
const char* groupItemName(std::string_view caption) {
    if (caption == "Country Rhythms") {
        return "Country1";
    }
    if (caption == "Rock Rhythms") {
        return "Rock1";
    }
    if (caption == "Click Track") {
        return "ClickTrack1";
    }
    return "Other1";
}

// Unbuffered, so that a short write (a full disk, a size limit) is seen here: through
// the buffer it would be lost and the save would commit a cut file.
bool writeWhole(QSaveFile& file, const std::string& bytes) {
    const char* data = bytes.data();
    qint64 left = static_cast<qint64>(bytes.size());
    while (left > 0) {
        const qint64 written = file.write(data, left);
        if (written <= 0) {
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

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

} // namespace

TForm1::TForm1(tambrel::midi::Machine& machine, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      machine_(machine) {
    tambrel::useResources(); // before the first button asks for its glyph
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kTitle);
    setFont(windowFont());
    setFixedSize(kClientWidth, kClientHeight);
    buildControls();
    buildPresetMenu();
    setTabOrder();
    refresh();
}

TForm1::~TForm1() = default;

QString TForm1::latin1(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QLabel* TForm1::addLabel(const char* name, const QString& text, int left, int top, bool value) {
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
    label->move(left, top);
    label->adjustSize();
    return label;
}

QPushButton* TForm1::addButton(QWidget* parent, const char* name, const QString& text,
                               const QRect& geometry, const char* icon, bool hasDisabledIcon) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    button->setIcon(glyph(icon, hasDisabledIcon));
    button->setAutoDefault(false);
    return button;
}

void TForm1::buildControls() {
    // Transport and files.
    bitBtn1_ = addButton(this, "BitBtn1", QStringLiteral("&Play"), {16, 16, 61, 25}, "play", true);
    bitBtn2_ = addButton(this, "BitBtn2", QStringLiteral("S&top"), {82, 16, 61, 25}, "stop", true);
    bitBtn5_ =
        addButton(this, "BitBtn5", QStringLiteral("Presets"), {16, 48, 127, 25}, "presets", true);
    connect(bitBtn1_, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
    connect(bitBtn2_, &QPushButton::clicked, this, &TForm1::BitBtn2Click);
    connect(bitBtn5_, &QPushButton::clicked, this, &TForm1::BitBtn5Click);

    auto addSpeedButton = [this](const char* name, const QRect& geometry, const char* icon,
                                 const QString& hint) {
        auto* button = new QToolButton(this);
        button->setObjectName(QLatin1String(name));
        button->setGeometry(geometry);
        button->setAutoRaise(true); // flat until the mouse is over it
        button->setFocusPolicy(Qt::NoFocus);
        button->setIcon(glyph(icon, true));
        button->setIconSize(QSize(16, 16));
        button->setToolTip(hint);
        return button;
    };
    speedButton2_ = addSpeedButton("SpeedButton2", {148, 16, 25, 25}, "load",
                                   QStringLiteral("Load Pattern From File"));
    speedButton1_ = addSpeedButton("SpeedButton1", {148, 48, 25, 25}, "save",
                                   QStringLiteral("Save Pattern To File"));
    connect(speedButton1_, &QToolButton::clicked, this, &TForm1::SpeedButton1Click);
    connect(speedButton2_, &QToolButton::clicked, this, &TForm1::SpeedButton2Click);

    // Device, tempo and time signature.
    auto& engine = machine_.engine();
    upDown1_ = new UpDown(machine_.device().spinner(), this);
    upDown2_ = new UpDown(engine.tempoSpinner(), this);
    upDown3_ = new UpDown(engine.timeSignatureSpinner(), this);
    upDown1_->setObjectName(QStringLiteral("UpDown1"));
    upDown2_->setObjectName(QStringLiteral("UpDown2"));
    upDown3_->setObjectName(QStringLiteral("UpDown3"));
    upDown1_->setGeometry(184, 16, 16, 24);
    upDown2_->setGeometry(184, 48, 16, 24);
    upDown3_->setGeometry(288, 48, 16, 24);
    connect(upDown1_, &UpDown::changing, this, &TForm1::UpDown1Changing);
    connect(upDown2_, &UpDown::changing, this, &TForm1::UpDown2Changing);
    connect(upDown3_, &UpDown::changing, this, &TForm1::UpDown3Changing);
    for (UpDown* upDown : {upDown1_, upDown2_, upDown3_}) {
        connect(upDown, &UpDown::stepped, this, &TForm1::refresh);
    }

    addLabel("Label4", QStringLiteral("Midi Device:"), 208, 22, false);
    posLabel_ = addLabel("PosLabel", QStringLiteral("0"), 286, 22, true);
    label1_ = addLabel("Label1", QStringLiteral("None"), 303, 22, true);
    addLabel("Label3", QStringLiteral("Tempo"), 208, 54, false);
    label23_ = addLabel("Label23", QStringLiteral("120"), 255, 54, true);
    addLabel("TimeSigLabel", QStringLiteral("Time Signature:"), 313, 54, false);
    playModeLabel_ = addLabel("playModeLabel", QStringLiteral("4/4"), 409, 54, true);

    // Track rows.
    QStringList items;
    for (const std::string& item : tambrel::midi::instrumentItems()) {
        items << latin1(item);
    }
    // An instrument name is one line of 8-bit text in a pattern file: no NUL, CR or LF.
    static const QRegularExpression kInstrumentText(
        QStringLiteral("[\\x{01}-\\x{09}\\x{0B}\\x{0C}\\x{0E}-\\x{FF}]*"));
    for (int t = 1; t <= kTracks; ++t) {
        const auto i = static_cast<std::size_t>(t - 1);
        const int dy = kRowPitch * (t - 1);

        QLabel* name = addLabel(kNameLabels[i], QStringLiteral("Track %1  Volume:").arg(t), 16,
                                102 + dy, false);
        name->setFixedHeight(13);
        QLabel* volume = addLabel(kVolumeLabels[i], QStringLiteral("100"), 120, 102 + dy, true);
        volume->setGeometry(120, 102 + dy, 22, 13);
        volumeLabels_[i] = volume;

        auto* bar = new QSlider(Qt::Horizontal, this);
        bar->setObjectName(QStringLiteral("TrackBar%1").arg(t));
        bar->setGeometry(150, 96 + dy, 65, 25);
        bar->setRange(tambrel::midi::kVolumeMin, tambrel::midi::kVolumeMax);
        bar->setTickInterval(12);
        bar->setTickPosition(QSlider::TicksBelow);
        bar->setValue(machine_.tracks().volume(t));
        connect(bar, &QSlider::valueChanged, this, kTrackBarHandlers[i]);
        trackBars_[i] = bar;

        auto* combo = new QComboBox(this);
        combo->setObjectName(QStringLiteral("ComboBox%1").arg(t));
        combo->setGeometry(224, 98 + dy, 137, 21);
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert); // typing never adds to the list
        combo->addItems(items);
        combo->setMaxVisibleItems(8);
        combo->lineEdit()->setValidator(new QRegularExpressionValidator(kInstrumentText, combo));
        combo->setEditText(latin1(machine_.tracks().instrumentText(t)));
        connect(combo, &QComboBox::currentTextChanged, this, kComboBoxHandlers[i]);
        comboBoxes_[i] = combo;

        for (int g = 0; g < 4; ++g) {
            auto* panel = new QFrame(this);
            panel->setObjectName(QStringLiteral("Panel%1%2").arg(t).arg(kPanelSuffixes[g]));
            panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            panel->setLineWidth(1);
            panel->setAutoFillBackground(true);
            QPalette palette = panel->palette();
            palette.setColor(QPalette::Window, Qt::black);
            panel->setPalette(palette);
            panel->setGeometry(tambrel::engine::kFirstPanelLeft + 52 * g, 98 + dy, 51, 21);
            panels_[i][static_cast<std::size_t>(g)] = panel;
            for (int k = 0; k < 4; ++k) {
                const int c = 4 * g + k + 1;
                auto* cell = new CellLabel(t, c, panel);
                cell->setGeometry(2 + 12 * k, 2, 10, 17);
                connect(cell, &CellLabel::clicked, this, &TForm1::Tr1Label1Click);
                cells_[i][static_cast<std::size_t>(c - 1)] = cell;
            }
        }
    }

    // Bottom bar.
    panel9_ = new QFrame(this);
    panel9_->setObjectName(QStringLiteral("Panel9"));
    panel9_->setFrameStyle(QFrame::NoFrame);
    panel9_->setGeometry(0, kClientHeight - kBottomBarHeight, kClientWidth, kBottomBarHeight);
    bitBtn6_ =
        addButton(panel9_, "BitBtn6", QStringLiteral("Volume"), {16, 8, 66, 25}, "volume", false);
    bitBtn7_ = addButton(panel9_, "BitBtn7", QStringLiteral("Help"), {95, 8, 61, 25}, "help", true);
    bitBtn3_ =
        addButton(panel9_, "BitBtn3", QStringLiteral("C&lear"), {448, 8, 61, 25}, "clear", false);
    bitBtn4_ =
        addButton(panel9_, "BitBtn4", QStringLiteral("&Close"), {522, 8, 61, 25}, "close", true);
    connect(bitBtn6_, &QPushButton::clicked, this, &TForm1::BitBtn6Click);
    connect(bitBtn7_, &QPushButton::clicked, this, &TForm1::BitBtn7Click);
    connect(bitBtn3_, &QPushButton::clicked, this, &TForm1::BitBtn3Click);
    // Close has no handler of its own: it closes the window as the title bar does.
    connect(bitBtn4_, &QPushButton::clicked, this, &QWidget::close);
}

void TForm1::buildPresetMenu() {
    popupMenu1_ = new QMenu(this);
    popupMenu1_->setObjectName(QStringLiteral("PopupMenu1"));
    for (const std::string_view group : tambrel::patterns::kPresetGroups) {
        QMenu* submenu = popupMenu1_->addMenu(fromView(group));
        submenu->setObjectName(QLatin1String(groupItemName(group)) + QStringLiteral("Menu"));
        submenu->menuAction()->setObjectName(QLatin1String(groupItemName(group)));
        for (const tambrel::patterns::Preset& preset : tambrel::patterns::allPresets()) {
            if (preset.group != group) {
                continue;
            }
            QAction* item = submenu->addAction(fromView(preset.caption));
            item->setObjectName(fromView(preset.itemName));
            connect(item, &QAction::triggered, this, [this, &preset] { PresetClick(preset); });
        }
    }
}

void TForm1::setTabOrder() {
    QList<QWidget*> order = {bitBtn1_,       bitBtn2_,       comboBoxes_[0], trackBars_[0],
                             comboBoxes_[1], comboBoxes_[2], comboBoxes_[3], trackBars_[1],
                             trackBars_[2],  trackBars_[3]};
    for (std::size_t i = 4; i < 8; ++i) {
        order << comboBoxes_[i] << trackBars_[i];
    }
    order << bitBtn4_ << bitBtn3_ << bitBtn6_ << bitBtn7_ << bitBtn5_;
    for (qsizetype i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
}

void TForm1::refresh() {
    const auto& engine = machine_.engine();
    const auto sig = engine.timeSignature();
    const auto& info = tambrel::engine::timeSignatureInfo(sig);

    for (int t = 1; t <= kTracks; ++t) {
        const auto i = static_cast<std::size_t>(t - 1);
        auto& panels = panels_[i];
        for (std::size_t g = 0; g < 4; ++g) {
            QFrame* panel = panels[g];
            const int left = g == 0 ? tambrel::engine::kFirstPanelLeft : info.panelLefts[g - 1];
            panel->setGeometry(left, panel->y(), info.panelWidth, panel->height());
            panel->setVisible(g < 3 || info.dPanelsShown);
        }
        for (int c = 1; c <= kCells; ++c) {
            CellLabel* cell = cells_[i][static_cast<std::size_t>(c - 1)];
            cell->setColor(engine.grid().isOn(t, c) ? CellLabel::kOnColor : CellLabel::kOffColor);
            cell->setVisible(!tambrel::engine::cellHidden(sig, c));
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

    label23_->setText(QString::number(engine.tempoShown()));
    label23_->adjustSize();
    playModeLabel_->setText(QString::fromLatin1(engine.timeSignatureText()));
    playModeLabel_->adjustSize();
    posLabel_->setText(QString::fromStdString(machine_.device().posLabel()));
    posLabel_->adjustSize();
    label1_->setText(QString::fromStdString(machine_.device().nameLabel()));
    label1_->adjustSize();

    bitBtn1_->setEnabled(engine.playEnabled());
    bitBtn2_->setEnabled(engine.stopEnabled());
}

// --- window events

void TForm1::FormCreate() {
    machine_.device().startup();
    refresh();
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
    // Only the two cell colours respond; anything else is not a cell in use.
    const QColor color = cell->color();
    if (color != CellLabel::kOffColor && color != CellLabel::kOnColor) {
        return;
    }
    // "Tr<track>Label<cell>": the track is the third character, the cell from the ninth on.
    const QString name = cell->objectName();
    const int track = name.mid(2, 1).toInt();
    const int number = name.mid(8).toInt();
    machine_.engine().grid().toggle(track, number);
    refresh();
}

// --- spinners: each acts on the position before the click

void TForm1::UpDown1Changing() {
    machine_.device().UpDown1Changing();
    refresh();
}

void TForm1::UpDown2Changing() {
    machine_.engine().UpDown2Changing();
    refresh();
}

void TForm1::UpDown3Changing() {
    machine_.engine().UpDown3Changing();
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
    bool saved = false;
    try {
        const std::string bytes = tambrel::patterns::WritePatternText(lines);
        // Written beside the old file and renamed over it only when complete, so that a
        // failed save never costs the user the file they had.
        QSaveFile file(name);
        saved = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                writeWhole(file, bytes) && file.commit();
    } catch (...) {
        saved = false;
    }
    if (!saved) {
        showMessage(QString::fromLatin1(tambrel::patterns::kSaveErrorMessage));
    }
}

void TForm1::SpeedButton2Click() {
    const QString name = askOpenFileName();
    if (name.isEmpty()) {
        return;
    }
    lastOpenName_ = name;
    bool loaded = false;
    try {
        // Checked whole before anything changes: a bad file leaves the pattern as it was.
        const auto bytes = tambrel::patterns::readFileBytes(QFile::encodeName(name).toStdString());
        loaded = bytes && tambrel::patterns::loadPatternBytes(machine_, *bytes);
    } catch (...) {
        loaded = false;
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
        applied = false; // what was applied before the failure stays
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
