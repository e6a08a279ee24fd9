#include "ui/help_window.h"

#include "ui/resources.h"

#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace tambrel {

HelpWindow::HelpWindow(QWidget* owner) : QWidget(owner, Qt::Window) {
    useResources();
    setObjectName("HelpWindow");
    setWindowTitle("Tambrel Help");
    setWindowModality(Qt::NonModal);
    // Reading help never keeps Tambrel running once its main window is closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(560, 480);

    browser_ = new QTextBrowser(this);
    browser_->setObjectName("helpBrowser");
    browser_->setOpenExternalLinks(false);
    browser_->document()->setDocumentMargin(10);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);

    // The fragment scrolls to the first topic once the window is on screen, past
    // the contents list at the top of the page.
    QUrl url(pageUrl);
    url.setFragment(firstTopic);
    browser_->setSource(url);
}

void showHelp(QWidget* owner) {
    // One help window for the whole run; QPointer forgets it if its owner took it
    // down, and the next press makes a new one.
    static QPointer<HelpWindow> window;
    if (window.isNull()) {
        window = new HelpWindow(owner);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace tambrel
