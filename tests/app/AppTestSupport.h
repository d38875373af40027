#pragma once
// Helpers of the application tests: dialogs answered from a script, one whole application with
// private settings, waiting with the event loop turning, and test photographs.

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

#include "AppDelegate.h"
#include "Controller.h"
#include "Dialogs.h"
#include "ImageMatrix.h"
#include "MainWindow.h"
#include "MainWindowLayout.h"
#include "SplitView.h"
#include "ViewsTestSupport.h"

using namespace velkaro;

// Turns the event loop until `done` holds or `limitMs` milliseconds have passed; returns `done()`.
inline bool WaitFor(const std::function<bool()>& done, int limitMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// Turns the event loop for a while.
inline void Spin(int ms) {
    WaitFor([] { return false; }, ms);
}

inline QString TestDataPath(const char* name) {
    return QString(VELKARO_TEST_DATA_DIR) + "/" + name;
}

// Answers the application's alerts and file panels from a script, a turn of the event loop after
// they are shown (as sheets end), and remembers what was asked.
class ScriptedDialogs : public Dialogs {
  public:
    std::deque<AlertButton> alertAnswers;       // empty: the default button
    std::deque<QString> openAnswers;            // empty: cancel
    std::deque<QString> saveAnswers;            // empty: cancel
    std::function<void()> whileSavePanelShows;  // runs before the save panel is answered
    bool escapeAlerts = false;  // alerts show as the toolkit's sheets and Esc ends them

    QList<AlertText> alerts;
    QList<QStringList> openPanels;      // the extensions of each open panel
    QStringList openFolders;            // the folder each open panel starts in
    QList<QStringList> savePanelTypes;  // the allowed types: at start, then every change
    QStringList saveSuggestions;        // the path each save panel starts with

    void beginAlert(QWidget* window, const AlertText& text,
                    std::function<void(AlertButton)> done) override {
        alerts << text;
        if (escapeAlerts) {  // a real sheet, ended by Esc
            sheets.beginAlert(window, text, std::move(done));
            QTimer::singleShot(0, [window] {
                for (QMessageBox* box : window->findChildren<QMessageBox*>())
                    if (box->isVisible())
                        QTest::keyClick(box, Qt::Key_Escape);
            });
            return;
        }
        QTimer::singleShot(0, [done, answer = Next(alertAnswers)] {
            if (done)
                done(answer);
        });
    }
    void beginOpenPanel(QWidget*, const QStringList& extensions, const QString& folder,
                        std::function<void(const QString&)> done) override {
        openPanels << extensions;
        openFolders << folder;
        QTimer::singleShot(0, [done, answer = Next(openAnswers)] { done(answer); });
    }
    void beginSavePanel(QWidget*, QWidget*, const QStringList& allowedTypes,
                        const QString& suggested,
                        std::function<void(const QString&)> done) override {
        savePanelTypes << allowedTypes;
        saveSuggestions << suggested;
        QTimer::singleShot(0, [this, done, answer = Next(saveAnswers)] {
            if (whileSavePanelShows)
                whileSavePanelShows();
            done(answer);
        });
    }
    void setSavePanelAllowedTypes(const QStringList& allowedTypes) override {
        savePanelTypes << allowedTypes;
    }

  private:
    SheetDialogs sheets;
    template <typename T>
    static T Next(std::deque<T>& answers) {
        if (answers.empty())
            return T();
        T answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

// One application: its settings in a private ini file (a fresh one when `settingsFile` is empty),
// scripted dialogs, the main window with its layout, the controller and the delegate. Quitting is
// only counted.
class AppHarness : WithApp {
  public:
    explicit AppHarness(const QString& settingsFile = QString()) {
        QCoreApplication::setApplicationName("Velkaro");
        mSettings = std::make_unique<QSettings>(
            settingsFile.isEmpty() ? mDir.filePath("velkaro.ini") : settingsFile,
            QSettings::IniFormat);
        mLayout = BuildWindowLayout(mWindow.get());
        mController = std::make_unique<Controller>(mLayout, *mSettings, dialogs);
        mDelegate = std::make_unique<AppDelegate>(mLayout, *mController, *mSettings, dialogs);
        mDelegate->setTerminate([this] { ++terminations; });
    }
    ~AppHarness() {
        mDelegate.reset();
        mController.reset();
        mWindow.reset();
        Spin(0);  // sheets and panels of this harness end before the next one starts
    }

    Controller& controller() { return *mController; }
    AppDelegate& delegate() { return *mDelegate; }
    const WindowLayout& layout() const { return mLayout; }
    QSettings& settings() { return *mSettings; }
    QString temporaryPath(const QString& name) const { return mDir.filePath(name); }
    // Opens a file and waits until its rows are in the results list; false if it did not load.
    bool open(const QString& path) {
        mController->openImageAtPath(path);
        return WaitFor([this] { return mController->images().size() >= 3; }, 10000);
    }

    ScriptedDialogs dialogs;
    int terminations = 0;

  private:
    QTemporaryDir mDir;
    std::unique_ptr<QSettings> mSettings;
    std::unique_ptr<MainWindow> mWindow = std::make_unique<MainWindow>();
    WindowLayout mLayout;
    std::unique_ptr<Controller> mController;
    std::unique_ptr<AppDelegate> mDelegate;
};

// A test with one application: its controller, window layout and candidate grid at hand.
struct AppTest : ::testing::Test {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    ImageMatrix& grid = *l.imageMatrix;
};

// A stand-in exiftool in the harness's folder: a shell script with the given body.
inline QString StandInExiftool(const AppHarness& app, const QString& body) {
    const QString program = app.temporaryPath("exiftool");
    QFile script(program);
    EXPECT_TRUE(script.open(QIODevice::WriteOnly) && script.write(("#!/bin/sh\n" + body).toUtf8()));
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return program;
}

// Saves through the controller and waits for the worker; whether the file was written.
inline bool SaveAndWait(Controller& c, const QString& path) {
    QSignalSpy saved(&c, &Controller::saveFinished);
    return c.saveResultToPath(path) && saved.wait(30000) && saved.at(0).at(0).toBool();
}

// Whether every lamp of rows first … last of the column is in the given state.
inline bool ColumnIs(const ImageMatrix& grid, int state, int first = 1, int last = 15,
                     int column = 0) {
    for (int row = first; row <= last; ++row)
        if (grid.entryStateforEntryRow(row, column) != state)
            return false;
    return true;
}
