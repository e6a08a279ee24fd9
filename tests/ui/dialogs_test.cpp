// Save and Load through the real file dialogs, as a user goes through them: a name typed
// without its extension, the confirmation before a file is replaced, and the name
// proposed the next time.

#include "ui/cell_label.h"
#include "ui/main_window.h"

#include "machine/machine.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// The product's window with its real dialogs; only its message boxes are recorded.
class DialogWindow : public TForm1 {
public:
    using TForm1::TForm1;
    QStringList messages;

protected:
    void showMessage(const QString& text) override { messages << text; }
};

// Runs `answer` on the next modal dialog as soon as it is up.
void whenModal(std::function<void(QWidget*)> answer) {
    QTimer::singleShot(0, [answer] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) {
            whenModal(answer);
            return;
        }
        answer(modal);
    });
}

// Types a name into the file dialog and presses its accept button.
void chooseFile(QWidget* modal, const QString& name) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    QVERIFY(dialog);
    dialog->selectFile(name);
    QMetaObject::invokeMethod(dialog, "accept");
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void saveAddsTheExtensionConfirmsReplacingAndLoadBringsItBack();
};

void DialogsTest::saveAddsTheExtensionConfirmsReplacingAndLoadBringsItBack() {
    QTemporaryDir dir;
    tambrel::machine::Machine machine;
    DialogWindow window(machine);
    window.FormCreate();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTest::mouseClick(window.findChild<CellLabel*>(QStringLiteral("Tr2Label5")), Qt::LeftButton);
    auto* save = window.findChild<QWidget*>(QStringLiteral("SpeedButton1"));
    auto* load = window.findChild<QWidget*>(QStringLiteral("SpeedButton2"));

    // A name typed without an extension gets ".qel".
    whenModal([&](QWidget* modal) { chooseFile(modal, dir.filePath(QStringLiteral("groove"))); });
    QTest::mouseClick(save, Qt::LeftButton);
    const QString path = dir.filePath(QStringLiteral("groove.qel"));
    const QByteArray first = fileBytes(path);
    QVERIFY2(first.startsWith("4/4\r\n120\r\nTR1INFO:100+Acoustic Bass Drum\r\n"),
             first.constData());
    QCOMPARE(first.count("\r\n"), 26);
    QVERIFY(first.contains("\r\n01000000\r\n"));

    // Saving over it asks first; answering No keeps the file as it was.
    QTest::mouseClick(window.findChild<CellLabel*>(QStringLiteral("Tr1Label1")), Qt::LeftButton);
    QString proposed;
    bool asked = false;
    whenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        QVERIFY(dialog);
        proposed = dialog->selectedFiles().value(0);
        whenModal([&](QWidget* confirm) {
            auto* box = qobject_cast<QMessageBox*>(confirm);
            QVERIFY(box);
            asked = true;
            box->button(QMessageBox::No)->click();
            whenModal([](QWidget* stillOpen) { qobject_cast<QFileDialog*>(stillOpen)->reject(); });
        });
        QMetaObject::invokeMethod(dialog, "accept");
    });
    QTest::mouseClick(save, Qt::LeftButton);
    QCOMPARE(proposed, path); // the last chosen name is proposed again
    QVERIFY(asked);
    QCOMPARE(fileBytes(path), first);
    QVERIFY(window.messages.isEmpty());

    // Clear, then load the file back through the open dialog.
    QTest::mouseClick(window.findChild<QWidget*>(QStringLiteral("BitBtn3")), Qt::LeftButton);
    QVERIFY(machine.engine().grid().empty());
    whenModal([&](QWidget* modal) { chooseFile(modal, path); });
    QTest::mouseClick(load, Qt::LeftButton);
    QVERIFY(window.messages.isEmpty());
    QVERIFY(machine.engine().grid().isOn(2, 5));
    QVERIFY(!machine.engine().grid().isOn(1, 1));
    QCOMPARE(window.findChild<CellLabel*>(QStringLiteral("Tr2Label5"))->color(),
             CellLabel::kOnColor);
}

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
