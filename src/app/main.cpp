// Velkaro, the desktop application: `velkaro [FILE]`. A file on the command line is the desktop's
// request to open it (the .desktop entry runs `velkaro %f`).

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QStyleFactory>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "AppDelegate.h"
#include "Controller.h"
#include "Dialogs.h"
#include "Fatal.h"
#include "GUI.h"
#include "Log.h"
#include "MainWindow.h"
#include "MainWindowLayout.h"
#include "SingleInstance.h"

using namespace velkaro;

namespace {

QWidget* gAlertParent = nullptr;

// Shows the "Fatal error" alert; the caller exits with status 1 afterwards. Widgets live on the
// main thread only: from a worker the message on standard error has to do.
void ShowFatalError(const char* message, const char* file, int line) {
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        return;
    const QString text = QString::asprintf("%s (%s:%d)", message, file, line);
    QMessageBox::critical(gAlertParent, "Fatal error", text);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Velkaro");
    QApplication::setOrganizationName("Velkaro");
    QApplication::setApplicationVersion(VELKARO_VERSION);
    QApplication::setDesktopFileName("velkaro");
    if (QStyle* fusion = QStyleFactory::create("Fusion"))
        QApplication::setStyle(fusion);
    QApplication::setPalette(DarkPalette());
    QApplication::setWindowIcon(QIcon(ResourcePath("velkaro.png")));

    QString path;
    const QStringList arguments = QApplication::arguments();
    // The window's own log lines (thousands for one grid) only when asked for.
    SetLogLevel(arguments.contains("--verbose") ? LogLevel::Info : LogLevel::Warning);
    for (int i = 1; i < arguments.size(); ++i) {
        if (!arguments[i].startsWith('-') || QFileInfo::exists(arguments[i])) {
            path = arguments[i];
            break;
        }
    }

    // One window per user: a running window takes the file and this process ends.
    SingleInstance instance(SingleInstance::defaultServerName());
    if (instance.handOver(path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath()))
        return 0;

    QSettings settings;
    SheetDialogs dialogs;
    MainWindow window;
    const WindowLayout layout = BuildWindowLayout(&window);
    Controller controller(layout, settings, dialogs);
    AppDelegate delegate(layout, controller, settings, dialogs);
    gAlertParent = &window;
    SetFatalErrorHandler(&ShowFatalError);

    // The layout's size, made to fit smaller screens.
    if (const QScreen* screen = window.screen()) {
        const QSize room = screen->availableGeometry().size() * 0.95;
        window.resize(window.size().boundedTo(room).expandedTo(window.minimumSizeHint()));
    }
    window.show();
    instance.listen();
    QObject::connect(
        &instance, &SingleInstance::openRequested, &delegate,
        [&delegate](const QString& requested) { delegate.applicationOpenFile(requested); });
    QTimer::singleShot(0, &delegate, [&] {
        if (!path.isEmpty())
            controller.maybeOpenImageAtPath(QFileInfo(path).absoluteFilePath());
        delegate.applicationDidFinishLaunching();
    });
    const int status = app.exec();
    window.hide();
    return status;
}
