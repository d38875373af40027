#include "AppTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <cstdlib>

#include "ViewsTestSupport.h"

void ScriptedDialogs::beginAlert(QWidget*, const AlertText& text,
                                 std::function<void(AlertButton)> done) {
    alerts << text;
    AlertButton answer = AlertButton::Default;
    if (!alertAnswers.empty()) {
        answer = alertAnswers.front();
        alertAnswers.pop_front();
    }
    QTimer::singleShot(0, [done, answer] {
        if (done) done(answer);
    });
}

void ScriptedDialogs::beginOpenPanel(QWidget*, const QStringList& extensions,
                                     std::function<void(const QString&)> done) {
    openPanels << extensions;
    QString answer;
    if (!openAnswers.empty()) {
        answer = openAnswers.front();
        openAnswers.pop_front();
    }
    QTimer::singleShot(0, [done, answer] { done(answer); });
}

void ScriptedDialogs::beginSavePanel(QWidget*, QWidget*, const QStringList& allowedTypes,
                                     std::function<void(const QString&)> done) {
    savePanelTypes << allowedTypes;
    savePanelShows = true;
    QString answer;
    if (!saveAnswers.empty()) {
        answer = saveAnswers.front();
        saveAnswers.pop_front();
    }
    QTimer::singleShot(0, [this, done, answer] {
        if (whileSavePanelShows) whileSavePanelShows();
        savePanelShows = false;
        done(answer);
    });
}

void ScriptedDialogs::setSavePanelAllowedTypes(const QStringList& allowedTypes) {
    if (savePanelShows) savePanelTypes << allowedTypes;
}

AppHarness::AppHarness(const QString& settingsFile) {
    TestApp();
    QCoreApplication::setApplicationName("Velkaro");
    mSettingsFile = settingsFile.isEmpty() ? mDir.filePath("velkaro.ini") : settingsFile;
    mSettings = std::make_unique<QSettings>(mSettingsFile, QSettings::IniFormat);
    mWindow = std::make_unique<MainWindow>();
    mLayout = BuildWindowLayout(mWindow.get());
    mController = std::make_unique<Controller>(mLayout, *mSettings, dialogs);
    mDelegate = std::make_unique<AppDelegate>(mLayout, *mController, *mSettings, dialogs);
    mDelegate->setTerminate([this] { ++terminations; });
}

AppHarness::~AppHarness() {
    mDelegate.reset();
    mController.reset();
    mWindow.reset();
    // Sheets and panels of this harness end before the next one starts.
    Spin(0);
}

bool AppHarness::open(const QString& path) {
    mController->openImageAtPath(path);
    return WaitFor([this] { return mController->images().size() >= 3; }, 10000);
}

bool WaitFor(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void Spin(int ms) {
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    } while (timer.elapsed() < ms);
}

QString TestDataPath(const char* name) { return QString(VELKARO_TEST_DATA_DIR) + "/" + name; }

QString AppScreenshotDir() {
    const char* output = std::getenv("VELKARO_TEST_OUTPUT_DIR");
    QDir dir(output ? QString::fromLocal8Bit(output) : QDir::currentPath() + "/test-output");
    dir.mkpath("screenshots");
    return dir.filePath("screenshots");
}
