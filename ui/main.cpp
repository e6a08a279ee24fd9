// Program entry: the application, the machine over this computer's MIDI devices, and the
// one window.

#include "main_window.h"

#include "machine/machine.h"
#include "platform/midi_out.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include <exception>
#include <memory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(TForm1::kTitle);
    QApplication::setApplicationDisplayName(TForm1::kTitle);

    std::unique_ptr<tambrel::machine::Machine> machine;
    std::unique_ptr<TForm1> window;
    try {
        machine = std::make_unique<tambrel::machine::Machine>(
            tambrel::platform::discoverMidiOutDevices());
        window = std::make_unique<TForm1>(*machine);
        window->FormCreate();
        if (const QScreen* screen = window->screen()) {
            window->move(screen->availableGeometry().center() - window->rect().center());
        }
        window->show();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, TForm1::kTitle, QString::fromLocal8Bit(error.what()));
        return 1;
    } catch (...) {
        QMessageBox::critical(nullptr, TForm1::kTitle, QStringLiteral("Unknown error"));
        return 1;
    }
    const int status = QApplication::exec();
    // The window goes before the machine it mirrors.
    window.reset();
    machine.reset();
    return status;
}
