#pragma once

// The Help button's window: the user guide, shown from the program's own resources
// in a window of its own that never blocks the drum machine.

#include <QWidget>

class QTextBrowser;

namespace tambrel {

class HelpWindow : public QWidget {
    Q_OBJECT

public:
    // Where the guide lives, opened at its first topic.
    static constexpr const char* pageUrl = "qrc:/help/tambrel-help.html";
    static constexpr const char* firstTopic = "about";

    // A top-level window; with an owner it stays above it and goes away with it.
    explicit HelpWindow(QWidget* owner = nullptr);

    QTextBrowser* browser() const { return browser_; }

private:
    QTextBrowser* browser_;
};

// Shows the help window: creates it on the first call and brings that same window
// to the front on every later one, wherever the user had scrolled it.
void showHelp(QWidget* owner);

} // namespace tambrel
