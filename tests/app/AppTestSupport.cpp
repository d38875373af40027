#include "AppTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include "ViewsTestSupport.h"

namespace {

template <typename T>
T Next(std::deque<T>& answers) {
    if (answers.empty()) return T();
    T answer = answers.front();
    answers.pop_front();
    return answer;
}

}  // namespace

void ScriptedDialogs::beginAlert(QWidget*, const AlertText& text,
                                 std::function<void(AlertButton)> done) {
    alerts << text;
    QTimer::singleShot(0, [done, answer = Next(alertAnswers)] {
        if (done) done(answer);
    });
}

void ScriptedDialogs::beginOpenPanel(QWidget*, const QStringList& extensions,
                                     std::function<void(const QString&)> done) {
    openPanels << extensions;
    QTimer::singleShot(0, [done, answer = Next(openAnswers)] { done(answer); });
}

void ScriptedDialogs::beginSavePanel(QWidget*, QWidget*, const QStringList& allowedTypes,
                                     std::function<void(const QString&)> done) {
    savePanelTypes << allowedTypes;
    savePanelShows = true;
    QTimer::singleShot(0, [this, done, answer = Next(saveAnswers)] {
        if (whileSavePanelShows) whileSavePanelShows();
        savePanelShows = false;
        done(answer);
    });
}

AppHarness::AppHarness(const QString& settingsFile) {
    TestApp();
    QCoreApplication::setApplicationName("Velkaro");
    mSettings = std::make_unique<QSettings>(
        settingsFile.isEmpty() ? mDir.filePath("velkaro.ini") : settingsFile, QSettings::IniFormat);
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
    Spin(0);  // sheets and panels of this harness end before the next one starts
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

void Screenshot(QWidget& widget, const char* name) {
    const QByteArray output = qgetenv("VELKARO_TEST_OUTPUT_DIR");
    QDir dir(output.isEmpty() ? QDir::currentPath() + "/test-output" : QString::fromLocal8Bit(output));
    dir.mkpath("screenshots");
    const QString path = dir.filePath(QString("screenshots/%1.png").arg(name));
    QImage picture(widget.size(), QImage::Format_ARGB32_Premultiplied);
    picture.fill(QColor(24, 24, 24));
    widget.render(&picture, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    ASSERT_TRUE(picture.save(path)) << qPrintable(path);
    EXPECT_GT(QFileInfo(path).size(), 1000) << qPrintable(path);
}
