#include "AppDelegate.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QSettings>

#include "Controller.h"
#include "Dialogs.h"
#include "HelpWindow.h"
#include "MainWindow.h"
#include "UsageReport.h"

namespace velkaro {

AppDelegate::AppDelegate(const WindowLayout& layout, Controller& controller, QSettings& settings,
                         Dialogs& dialogs, QObject* parent)
    : QObject(parent),
      mMainWindow(layout.mainWindow),
      mAnonStats(layout.allowAnonStats),
      mController(controller),
      mSettings(settings),
      mDialogs(dialogs),
      mTerminate([] { QCoreApplication::quit(); }) {
    connect(layout.quitAction, &QAction::triggered, this, [this] { applicationShouldTerminate(); });
    connect(layout.aboutAction, &QAction::triggered, this, [this] { showAbout(); });
    connect(layout.helpAction, &QAction::triggered, this, [this] { showHelp(); });
    connect(layout.faqAction, &QAction::triggered, this, [this] { showFaq(); });
    connect(layout.supportAction, &QAction::triggered, this, [this] { contactSupport(); });
    // Closing the main window is quitting.
    mMainWindow->installEventFilter(this);
    // Without a report address nothing is ever sent, so there is nothing to allow.
    if (UsageReportEndpoint(mSettings).isEmpty()) {
        mAnonStats->setEnabled(false);
        mAnonStats->setToolTip(tr("This copy of %1 has no address to send reports to.")
                                   .arg(QCoreApplication::applicationName()));
    }
}

void AppDelegate::applicationDidFinishLaunching() {
    if (!mSettings.contains("mFirstLaunch")) {
        mSettings.setValue("mFirstLaunch", QDateTime::currentDateTime());
        mSettings.sync();
        mDialogs.beginAlert(
            mMainWindow,
            {"Welcome to Velkaro!",
             "Show me!",
             "No, thanks.",
             "This is the first time you're launching Velkaro. We recommend reading the short "
             "tutorial first: would you like to read it now? You can always open it later from "
             "the Help menu.",
             AlertButton::Alternate,
             {},
             AlertIcon::Information},
            [this](AlertButton button) {
                if (button == AlertButton::Default)
                    showHelp();
            });
    } else if (!mSettings.contains("allowAnonStats") && !UsageReportEndpoint(mSettings).isEmpty()) {
        mDialogs.beginAlert(
            mMainWindow,
            {"Help improve Velkaro!",
             "Sure!",
             "No, thanks.",
             "With your permission, we would like to gather anonymous statistics to help improve "
             "Velkaro. The content of the data is: size of the image in pixels, deblurring "
             "algorithm used, radius selected and masking options. This data will only be used "
             "by us to improve Velkaro. Do you agree?",
             AlertButton::Alternate,
             {},
             AlertIcon::Information},
            [this](AlertButton button) {
                mAnonStats->setChecked(button == AlertButton::Default);
                mController.saveDefaults(mAnonStats);
            });
    }
}

void AppDelegate::applicationOpenFile(const QString& path) {
    if (mMainWindow->isMinimized())
        mMainWindow->showNormal();
    mMainWindow->raise();
    mMainWindow->activateWindow();
    if (!path.isEmpty())
        mController.maybeOpenImageAtPath(path);
}

void AppDelegate::applicationShouldTerminate() {
    // Behind the progress sheet the window takes no commands, quitting included.
    if (mAsking || mTerminating || mController.isBusy())
        return;
    if (!mController.isModified()) {
        terminate();
        return;
    }
    mAsking = true;
    mController.askToSaveChanges(
        "You are about to quit Velkaro.", [this] { terminate(); }, [this] { mAsking = false; });
}

void AppDelegate::terminate() {
    if (mController.isBusy())
        return;
    mTerminating = true;
    // Running deblurs are stopped while the window still answers.
    mController.closeImages([this] {
        mTerminate();
        mTerminating = false;
    });
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mMainWindow && event->type() == QEvent::Close && !mTerminating) {
        event->ignore();
        applicationShouldTerminate();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::showHelpPage(const QString& page) {
    if (!mHelpWindow)
        mHelpWindow = new HelpWindow(mMainWindow);
    mHelpWindow->showPage(page);
}

void AppDelegate::showHelp() {
    showHelpPage("tutorial.html");
}

void AppDelegate::showFaq() {
    showHelpPage("faq.html");
}

// How to report a problem, in the FAQ: there is no support address to write to.
void AppDelegate::contactSupport() {
    showHelpPage("faq.html#support");
}

void AppDelegate::showAbout() {
    const QString name = QCoreApplication::applicationName();
    QMessageBox::about(mMainWindow, tr("About %1").arg(name),
                       tr("<b>%1 %2</b><p>Sharpens blurred photographs: click the spot that "
                          "matters, pick the best candidate, paint it in.</p>")
                           .arg(name, QStringLiteral(VELKARO_VERSION)));
}

}  // namespace velkaro
