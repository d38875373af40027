#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "MainWindowLayout.h"

class Controller;
class Dialogs;
class QCheckBox;
class QSettings;

// The application's delegate: greets the user at the first launch, asks once (at the second
// launch) for permission to send usage statistics, asks before quitting while an image is open,
// and opens the tutorial, the FAQ and the support address.
class AppDelegate : public QObject {
  public:
    AppDelegate(const WindowLayout& layout, Controller& controller, QSettings& settings,
                Dialogs& dialogs, QObject* parent = nullptr);

    void applicationDidFinishLaunching();
    // Quits at once when no image is open, else asks first.
    void applicationShouldTerminate();
    void showHelp();
    void showFaq();
    void contactSupport();
    void showAbout();

    // The address of a page of the maker's site with the given path, and the support address.
    static QString siteAddress(const QString& path);
    static QString supportAddress();

    // What quitting does once it is decided (tests replace it).
    void setTerminate(std::function<void()> terminate) { mTerminate = std::move(terminate); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void terminate();

    QWidget* mMainWindow;
    QCheckBox* mAnonStats;
    Controller& mController;
    QSettings& mSettings;
    Dialogs& mDialogs;
    bool mAsking = false;
    bool mTerminating = false;
    std::function<void()> mTerminate;
};
