#pragma once
// Helpers of the view and application tests: pictures, rendering, mouse events, a recording
// controller, scripted dialogs, one whole application, and waiting with the event loop turning.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <deque>
#include <functional>
#include <memory>

#include "AppDelegate.h"
#include "Controller.h"
#include "ControllerInterface.h"
#include "Dialogs.h"
#include "GUI.h"
#include "Image.h"
#include "ImageMatrix.h"
#include "MainWindow.h"
#include "MainWindowLayout.h"
#include "SplitView.h"

using namespace velkaro;

// The one application object of the test program (Fusion style, dark palette; offscreen as every
// GUI test program is).
inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "velkaro_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* created = new QApplication(argc, argv);
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setPalette(DarkPalette());
        return created;
    }();
    return *app;
}

// First base of a fixture whose members are widgets: the application exists before them.
struct WithApp {
    WithApp() { TestApp(); }
};

// A = 255, R = x mod 256, G = y mod 256, B = (7x + 13y) mod 256, rows from the top.
inline ImageRef PatternImage(int width, int height) {
    ImageRef image = Image::create(width, height);
    std::uint8_t* p = image->pixels();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, p += 4)
            p[0] = 255, p[1] = std::uint8_t(x), p[2] = std::uint8_t(y),
            p[3] = std::uint8_t(7 * x + 13 * y);
    return image;
}

// Channel 0 A, 1 R, 2 G, 3 B of pixel (x, y).
inline int PixelByte(const Image& image, int x, int y, int channel) {
    return image.pixels()[(std::size_t(y) * image.width() + x) * 4 + channel];
}

// The ARGB value that pixel (x, y) should show on screen.
inline QRgb ScreenPixel(const Image& image, int x, int y) {
    return qRgba(PixelByte(image, x, y, 1), PixelByte(image, x, y, 2), PixelByte(image, x, y, 3),
                 PixelByte(image, x, y, 0));
}

// A widget and its children drawn into an opaque picture over black.
inline QImage RenderWidget(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.convertToFormat(QImage::Format_RGB32);
}

// A mouse event sent straight to a widget, in Qt's widget coordinates (y downwards), the left
// button held from a press (or a double click) to its release.
inline void Mouse(QWidget& widget, QEvent::Type type, QPointF position) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, position, widget.mapToGlobal(position), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}
// A press at the first point, a drag through the others and the release at the last.
inline void Stroke(QWidget& widget, const std::vector<QPointF>& points) {
    Mouse(widget, QEvent::MouseButtonPress, points.front());
    for (std::size_t i = 1; i < points.size(); ++i) Mouse(widget, QEvent::MouseMove, points[i]);
    Mouse(widget, QEvent::MouseButtonRelease, points.back());
}

// Remembers, in order, every call a view makes on its controller.
class RecordingController : public ControllerInterface {
  public:
    bool mAllowDrop = true;
    QStringList mCalls;

    void saveDefaults(QObject*) override { mCalls << "saveDefaults"; }
    void openImageAtPath(const QString& path) override { mCalls << "open " + path; }
    bool hasFileOpen() override { return !mAllowDrop; }
    bool allowDrop() override { return mAllowDrop; }
    void deblurAtPoint(QPointF p) override {
        mCalls << QString::asprintf("deblur %.1f %.1f", p.x(), p.y());
    }
    void startBrush() override { mCalls << "startBrush"; }
    void applyBrushAtPoint(QPointF p, float size, float opacity) override {
        mCalls << QString::asprintf("brush %.1f %.1f size %.1f opacity %.2f", p.x(), p.y(), size,
                                    opacity);
    }
    void endBrush() override { mCalls << "endBrush"; }
    void changedEntry() override { mCalls << "changedEntry"; }
    void moveSelection(int direction) override {
        mCalls << QString::asprintf("move %d", direction);
    }
};

// Turns the event loop until `done` holds or `limitMs` milliseconds have passed; returns `done()`.
// The default limit only guards against a hang: a grid of shake-kernel cells can take over half a
// minute on two cores busy with other tests, and a correct run must not fail for that.
inline bool WaitFor(const std::function<bool()>& done, int limitMs = 120000) {
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
    void beginOpenPanel(QWidget*, const QStringList&, const QString& folder,
                        std::function<void(const QString&)> done) override {
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
    // Opens the photograph and waits until it shows (the one open before stays until then).
    bool open(const QString& path) {
        QSignalSpy opened(mController.get(), &Controller::openFinished);
        mController->openImageAtPath(path);
        return opened.wait(10000) && opened.at(0).at(0).toBool() &&
               WaitFor([this] { return mController->images().size() >= 3; }, 10000);
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

// Writes `bytes` to a new file at `path`; whether all of them were written.
inline bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A stand-in exiftool in the harness's folder: a shell script with the given body.
inline QString StandInExiftool(const AppHarness& app, const QString& body) {
    const QString program = app.temporaryPath("exiftool");
    EXPECT_TRUE(WriteFile(program, ("#!/bin/sh\n" + body).toUtf8()));
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return program;
}

// Saves through the controller and waits for the worker; whether the file was written.
inline bool SaveAndWait(Controller& c, const QString& path) {
    QSignalSpy saved(&c, &Controller::saveFinished);
    return c.saveResultToPath(path) && saved.wait(30000) && saved.at(0).at(0).toBool();
}

// Whether every row of the results list has finished computing.
inline bool AllRowsDone(Controller& c) {
    return std::all_of(c.images().begin(), c.images().end(), [](auto& row) { return row.done; });
}

// One brush stroke through the controller.
inline void Paint(Controller& c, const std::vector<QPointF>& points, float size, float opacity) {
    c.startBrush();
    for (QPointF p : points) c.applyBrushAtPoint(p, size, opacity);
    c.endBrush();
}

// Whether every lamp of rows first … last of the column is in the given state.
inline bool ColumnIs(const ImageMatrix& grid, int state, int first = 1, int last = 15,
                     int column = 0) {
    for (int row = first; row <= last; ++row)
        if (grid.entryStateforEntryRow(row, column) != state)
            return false;
    return true;
}

// Whether every candidate cell of the grid (every row but the top band, every column) is ready.
inline bool GridIsReady(const ImageMatrix& grid) {
    for (int column = 0; column < grid.columns(); ++column)
        if (!ColumnIs(grid, IMEntryReady, 1, grid.rows() - 1, column))
            return false;
    return true;
}
