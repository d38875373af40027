// The window's answer while the cores are busy: the whole application (controller, window,
// photograph view) on a 4000 × 3000 photograph, driven from its own thread as a user would.
//
// WindowWhileDeblurring/<busy>/<what>: the time from a command to its picture on the window's
// thread — what 0: View ▸ Zoom In or Zoom Out (in turn) and the view repainted; 1: the File menu
// popped up, painted and closed — with the cores idle (busy 0) or while a full LA1 deblur of the
// photograph computes (busy 1). Counter worst_ms: the slowest one; deblur_running: the deblur was
// still computing at the end. Headless:
//
//   QT_QPA_PLATFORM=offscreen bench_window   (or under xvfb-run)

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <string>

#include "Controller.h"
#include "Dialogs.h"
#include "ImageIO.h"
#include "ImageMatrix.h"
#include "MainWindow.h"
#include "MainWindowLayout.h"
#include "Planar.h"
#include "SplitView.h"

using namespace velkaro;

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "bench_window";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// The astronaut sample enlarged to 4000 × 3000, written as a PNG into `folder`.
QString LargePhoto(const QTemporaryDir& folder) {
    const QString path = folder.filePath("large.png");
    ImageRef src =
        ImageIO::sharedInstance().readFromFile(std::string(VELKARO_SAMPLE_DIR) + "/astronaut.png");
    ImageRef big = Image::create(4000, 3000);
    if (src)
        scaleARGB8888(src->pixels(), src->width(), src->height(), std::size_t(src->width()) * 4,
                      big->pixels(), 4000, 3000, std::size_t(4000) * 4);
    ImageIO::sharedInstance().writeImage(big, path.toStdString());
    return path;
}

// Turns the event loop for `ms` milliseconds.
void Turn(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void WindowWhileDeblurring(benchmark::State& state) {
    App();
    const bool busy = state.range(0) != 0;
    const bool menu = state.range(1) != 0;
    QTemporaryDir folder;
    QSettings settings(folder.filePath("velkaro.ini"), QSettings::IniFormat);
    SheetDialogs dialogs;
    MainWindow window;
    const WindowLayout layout = BuildWindowLayout(&window);
    Controller controller(layout, settings, dialogs);
    window.resize(1280, 800);
    window.show();

    QEventLoop opened;
    QObject::connect(&controller, &Controller::openFinished, &opened, &QEventLoop::quit);
    controller.openImageAtPath(LargePhoto(folder));
    opened.exec();
    Turn(200);
    if (busy) {
        layout.imageMatrix->setSelectedRow(6, DeblurLA1);
        controller.addDeblur();
        Turn(2000);  // every worker at work
    }
    auto* fileMenu = qobject_cast<QMenu*>(layout.openRecentMenu->parent());
    double worst = 0;
    int step = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        if (menu) {
            fileMenu->popup(window.mapToGlobal(QPoint(10, 10)));
            fileMenu->repaint();
            QCoreApplication::processEvents();
            fileMenu->hide();
        } else {
            (step++ % 2 == 0 ? layout.zoomInAction : layout.zoomOutAction)->trigger();
            layout.splitView->repaint();
            QCoreApplication::processEvents();
        }
        const double seconds = clock.nsecsElapsed() * 1e-9;
        state.SetIterationTime(seconds);
        worst = std::max(worst, seconds);
        Turn(20);
    }
    state.counters["worst_ms"] = worst * 1e3;
    const QList<ResultRow>& rows = controller.images();
    state.counters["deblur_running"] = busy && !rows.isEmpty() && !rows.back().done;
}
BENCHMARK(WindowWhileDeblurring)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
