#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <memory>

#include "AppDelegate.h"
#include "Controller.h"
#include "Dialogs.h"
#include "MainWindow.h"
#include "MainWindowLayout.h"

// Answers the application's alerts and file panels from a script, a turn of the event loop after
// they are shown (as sheets end), and remembers what was asked.
class ScriptedDialogs : public Dialogs {
public:
    std::deque<AlertButton> alertAnswers;  // empty: the default button
    std::deque<QString> openAnswers;       // empty: cancel
    std::deque<QString> saveAnswers;       // empty: cancel
    std::function<void()> whileSavePanelShows;  // runs before the save panel is answered

    QList<AlertText> alerts;
    QList<QStringList> openPanels;      // the extensions of each open panel
    QList<QStringList> savePanelTypes;  // the allowed types: at start, then every change
    bool savePanelShows = false;

    void beginAlert(QWidget* window, const AlertText& text,
                    std::function<void(AlertButton)> done) override;
    void beginOpenPanel(QWidget* window, const QStringList& extensions,
                        std::function<void(const QString&)> done) override;
    void beginSavePanel(QWidget* window, QWidget* accessory, const QStringList& allowedTypes,
                        std::function<void(const QString&)> done) override;
    void setSavePanelAllowedTypes(const QStringList& allowedTypes) override {
        if (savePanelShows) savePanelTypes << allowedTypes;
    }
};

// One application: its settings in a private ini file (a fresh one when `settingsFile` is empty),
// scripted dialogs, the main window with its layout, the controller and the delegate. Quitting is
// only counted.
class AppHarness {
public:
    explicit AppHarness(const QString& settingsFile = QString());
    ~AppHarness();

    Controller& controller() { return *mController; }
    AppDelegate& delegate() { return *mDelegate; }
    const WindowLayout& layout() const { return mLayout; }
    QSettings& settings() { return *mSettings; }
    QString temporaryPath(const QString& name) const { return mDir.filePath(name); }
    // Opens a file and waits until its rows are in the results list; false if it did not load.
    bool open(const QString& path);

    ScriptedDialogs dialogs;
    int terminations = 0;

private:
    QTemporaryDir mDir;
    std::unique_ptr<QSettings> mSettings;
    std::unique_ptr<MainWindow> mWindow;
    WindowLayout mLayout;
    std::unique_ptr<Controller> mController;
    std::unique_ptr<AppDelegate> mDelegate;
};

// Turns the event loop until `done` holds or `limitMs` milliseconds have passed; returns `done()`.
bool WaitFor(const std::function<bool()>& done, int limitMs = 30000);
// Turns the event loop for a while.
void Spin(int ms);
QString TestDataPath(const char* name);
// Writes the widget, over a dark desktop, to test-output/screenshots/<name>.png.
void Screenshot(QWidget& widget, const char* name);
