#pragma once

#include <QString>
#include <QWidget>

class QTextBrowser;

namespace velkaro {

// The help pages (the tutorial and the FAQ, HTML files installed with the application in the
// "help" folder of its resources) in a window of their own, with back and forward. Everything
// is read from disk: the help works offline.
class HelpWindow : public QWidget {
  public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Shows `page` ("tutorial.html", "faq.html", optionally with "#anchor") and raises the window.
    void showPage(const QString& page);
    // The folder of the pages.
    static QString helpDirectory();
    QTextBrowser* browser() const { return mBrowser; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    QTextBrowser* mBrowser;
};

}  // namespace velkaro
