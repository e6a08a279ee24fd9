#include "ui/help_window.h"

#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QPixmap>
#include <QPointer>
#include <QScrollBar>
#include <QSet>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>

using tambrel::HelpWindow;
using tambrel::showHelp;

namespace {

QList<HelpWindow*> helpWindows() {
    QList<HelpWindow*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == "HelpWindow") {
            found.append(qobject_cast<HelpWindow*>(widget));
        }
    }
    return found;
}

struct PageLinks {
    QStringList hrefs;
    QSet<QString> anchors;
    QStringList images;
};

// Reads the links, anchors and pictures out of the page as Qt understood it, so a
// typo in the HTML that Qt silently drops shows up here.
PageLinks linksOf(const QTextDocument& document) {
    PageLinks links;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isAnchor()) {
                if (!format.anchorHref().isEmpty()) {
                    links.hrefs.append(format.anchorHref());
                }
                for (const QString& name : format.anchorNames()) {
                    links.anchors.insert(name);
                }
            }
            if (format.isImageFormat()) {
                links.images.append(format.toImageFormat().name());
            }
        }
    }
    return links;
}

} // namespace

class HelpWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Without fonts every letter is an empty box and nothing says so.
        QVERIFY(!QFontDatabase::families().isEmpty());
    }

    void helpButtonKeepsToOneNonModalWindow() {
        QWidget owner;
        owner.show();
        QVERIFY(helpWindows().isEmpty());

        showHelp(&owner);
        showHelp(&owner);
        QCOMPARE(helpWindows().size(), 1);
        QPointer<HelpWindow> window = helpWindows().first();
        QVERIFY(window->isVisible());
        QVERIFY(window->isWindow());
        QCOMPARE(window->windowTitle(), QString("Tambrel Help"));
        QVERIFY(!window->isModal());
        QCOMPARE(window->windowModality(), Qt::NonModal);
        QVERIFY(window->size().width() >= 500 && window->size().height() >= 400);
        QVERIFY(window->findChild<QTextBrowser*>("helpBrowser") != nullptr);
        // The main window stays usable while help is open.
        QVERIFY(owner.isEnabled());
        QVERIFY(QApplication::activeModalWidget() == nullptr);

        // Closed by the user, then asked for again: the same window comes back.
        window->close();
        QVERIFY(!window->isVisible());
        showHelp(&owner);
        QCOMPARE(helpWindows().size(), 1);
        QCOMPARE(helpWindows().first(), window.data());
        QVERIFY(window->isVisible());

        // It belongs to its owner: when the owner goes, so does the window, and the
        // next press makes a fresh one instead of using a dangling one.
    }

    void aNewWindowAfterItsOwnerIsGone() {
        QVERIFY(helpWindows().isEmpty());
        auto* owner = new QWidget;
        owner->show();
        showHelp(owner);
        QCOMPARE(helpWindows().size(), 1);
        QPointer<HelpWindow> first = helpWindows().first();
        delete owner;
        QVERIFY(first.isNull());
        QVERIFY(helpWindows().isEmpty());

        QWidget second;
        showHelp(&second);
        QCOMPARE(helpWindows().size(), 1);
        QVERIFY(helpWindows().first()->isVisible());
    }

    void opensAtWhatTambrelIs() {
        HelpWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTextBrowser* browser = window.browser();
        QCOMPARE(browser->source().fileName(), QString("tambrel-help.html"));
        QCOMPARE(browser->documentTitle(), QString("Tambrel Help"));
        // The page opens past its contents list, with the first topic's heading at
        // the top of the view.
        QTRY_VERIFY(browser->verticalScrollBar()->value() > 0);
        const QTextBlock top = browser->cursorForPosition(QPoint(4, 4)).block();
        QCOMPARE(top.text(), QString("What Tambrel is"));
        QVERIFY(browser->toPlainText().contains("Tambrel GM Synth"));
    }

    void everyContentsLinkLeadsToATopic() {
        HelpWindow window;
        const PageLinks links = linksOf(*window.browser()->document());
        QVERIFY2(links.hrefs.size() >= 10, qPrintable(links.hrefs.join(' ')));
        QCOMPARE(links.hrefs.first(), QString("#about"));
        for (const QString& href : links.hrefs) {
            QVERIFY2(href.startsWith('#'), qPrintable(href + " leaves the page"));
            QVERIFY2(links.anchors.contains(href.mid(1)), qPrintable(href + " leads nowhere"));
        }
    }

    void everyPictureOnThePageLoads() {
        HelpWindow window;
        QTextBrowser* browser = window.browser();
        const PageLinks links = linksOf(*browser->document());
        QVERIFY(!links.images.isEmpty());
        for (const QString& name : links.images) {
            const QVariant data = browser->loadResource(QTextDocument::ImageResource, QUrl(name));
            QVERIFY2(!QImage::fromData(data.toByteArray()).isNull(), qPrintable(name));
        }
    }

    void iconsLoadAtTheirSizes_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("greyed");
        struct Icon {
            const char* name;
            QSize size;
            bool hasGreyed;
        };
        const Icon icons[] = {
            {"play", {14, 15}, true},    {"stop", {14, 15}, true},    {"save", {16, 16}, true},
            {"load", {16, 16}, true},    {"presets", {16, 16}, true}, {"clear", {16, 16}, false},
            {"volume", {15, 18}, false}, {"help", {18, 18}, true},    {"close", {18, 18}, true},
        };
        for (const Icon& icon : icons) {
            QTest::newRow(icon.name) << QString(icon.name) << icon.size << false;
            if (icon.hasGreyed) {
                const QString greyed = QString(icon.name) + "_disabled";
                QTest::newRow(qPrintable(greyed)) << greyed << icon.size << true;
            }
        }
    }

    void iconsLoadAtTheirSizes() {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        QFETCH(bool, greyed);
        const QPixmap pixmap(":/icons/" + name + ".xpm");
        QVERIFY(!pixmap.isNull());
        QCOMPARE(pixmap.size(), size);

        const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
        int opaque = 0;
        int coloured = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.alpha() == 255) {
                    ++opaque;
                    coloured += (c.red() != c.green() || c.green() != c.blue()) ? 1 : 0;
                }
            }
        }
        QVERIFY2(opaque > image.width() * image.height() / 4, "the picture is mostly empty");
        // The button face shows through around the picture.
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        if (greyed) {
            QCOMPARE(coloured, 0);
            // Same outline as the normal picture, only without its colour.
            const QString normalName = name.left(name.size() - int(qstrlen("_disabled")));
            const QImage normal = QPixmap(":/icons/" + normalName + ".xpm").toImage();
            QCOMPARE(image.createAlphaMask(), normal.createAlphaMask());
        } else {
            QVERIFY2(coloured > 0, "the normal picture has colour");
        }
    }

    void screenshot() {
        const QString folder = qEnvironmentVariable("TAMBREL_SCREENSHOT_DIR");
        if (folder.isEmpty()) {
            QSKIP("set TAMBREL_SCREENSHOT_DIR to write the help window's picture");
        }
        QVERIFY(QDir().mkpath(folder));
        HelpWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(window.browser()->verticalScrollBar()->value() > 0);
        const QString file = QDir(folder).filePath("help_window.png");
        QVERIFY(window.grab().save(file));
        qInfo("help window: %s", qPrintable(file));
    }
};

QTEST_MAIN(HelpWindowTest)
#include "help_window_test.moc"
