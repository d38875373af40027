#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "MainWindowLayout.h"

class QCheckBox;
class QSettings;

namespace velkaro {

class Controller;
class Dialogs;
class HelpWindow;

// The application's delegate: greets the user at the first launch, asks once (at the second
// launch, and only when a report address is configured) for permission to send usage statistics,
// asks before quitting while the picture has unsaved changes, and shows the tutorial and the FAQ
// in the help window.
class AppDelegate : public QObject {
  public:
    AppDelegate(const WindowLayout& layout, Controller& controller, QSettings& settings,
                Dialogs& dialogs, QObject* parent = nullptr);

    void applicationDidFinishLaunching();
    // The desktop asks to open a file (a later start of the application hands it over): the
    // window comes to the front and opens it, asking first as File > Open does. An empty path
    // only brings the window to the front.
    void applicationOpenFile(const QString& path);
    // Quits at once when no image is open, else asks first.
    void applicationShouldTerminate();
    void showHelp();
    void showFaq();
    void contactSupport();
    void showAbout();

    // The help window, once a page has been shown.
    HelpWindow* helpWindow() const { return mHelpWindow; }

    // What quitting does once it is decided (tests replace it).
    void setTerminate(std::function<void()> terminate) { mTerminate = std::move(terminate); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void terminate();
    void showHelpPage(const QString& page);

    QWidget* mMainWindow;
    QCheckBox* mAnonStats;
    Controller& mController;
    QSettings& mSettings;
    Dialogs& mDialogs;
    bool mAsking = false;
    bool mTerminating = false;
    std::function<void()> mTerminate;
    HelpWindow* mHelpWindow = nullptr;
};

}  // namespace velkaro
