// The application delegate: launches, usage reports, alerts, quitting, the help window, and the
// hand-over of a file from a later start to the running window.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBrowser>
#include <QUrl>
#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "AppTestSupport.h"
#include "HelpWindow.h"
#include "SingleInstance.h"
#include "UsageReport.h"

using namespace velkaro;

namespace {

// A tiny HTTP server: keeps the target of every request and answers 200.
struct ReportServer {
    QTcpServer server;
    QStringList targets;

    ReportServer() {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    const QByteArray head = socket->peek(1 << 16);
                    if (!head.contains("\r\n\r\n"))
                        return;
                    targets << QString::fromLatin1(head.split(' ').value(1));
                    socket->readAll();
                    socket->write(
                        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                    socket->disconnectFromHost();
                });
        });
        // Reports go straight to this server, not through a proxy of the environment.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
        qputenv("no_proxy", "127.0.0.1,localhost");
        qputenv("VELKARO_STATS_ENDPOINT",
                QString("http://127.0.0.1:%1").arg(server.serverPort()).toUtf8());
    }
    ~ReportServer() { qunsetenv("VELKARO_STATS_ENDPOINT"); }
};

// Clicks a point, selects a cell and deblurs it.
void Deblur(AppHarness& app, int row, int column) {
    Controller& c = app.controller();
    c.deblurAtPoint({100, 100});
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy(); }));
    app.layout().imageMatrix->setSelectedRow(row, column);
    c.addDeblur();
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy(); }));
}

}  // namespace

TEST(AppDelegate, WelcomeQuestionOnlyWithAnEndpointUsageReportsOnlyWithPermissionOfflineHelp) {
    TestApp();  // the server's socket needs the application's event dispatcher
    QTemporaryDir folder;
    const QString file = folder.filePath("velkaro.ini");
    {
        AppHarness first(file);
        first.dialogs.alertAnswers.push_back(AlertButton::Default);  // "Show me!"
        first.delegate().applicationDidFinishLaunching();
        Spin(20);
        ASSERT_EQ(first.dialogs.alerts.size(), 1);
        HelpWindow* help = first.delegate().helpWindow();
        ASSERT_TRUE(help);
        ASSERT_TRUE(help->isVisible());
        EXPECT_EQ(help->browser()->source().fileName(), "tutorial.html");
    }
    // The second launch asks for reports only when they have somewhere to go.
    std::optional<ReportServer> server;
    for (const bool endpoint : {false, true}) {
        if (endpoint)
            server.emplace();
        AppHarness second(file);
        second.dialogs.alertAnswers.push_back(AlertButton::Alternate);  // "No, thanks."
        second.layout().allowAnonStats->setChecked(true);
        second.delegate().applicationDidFinishLaunching();
        Spin(20);
        EXPECT_EQ(second.layout().allowAnonStats->isEnabled(), endpoint);
        ASSERT_EQ(second.dialogs.alerts.size(), endpoint ? 1 : 0);
        EXPECT_EQ(second.settings().contains("allowAnonStats"), endpoint);
        EXPECT_EQ(second.settings().value("allowAnonStats", 0).toInt(), 0);
        EXPECT_FALSE(endpoint && second.layout().allowAnonStats->isChecked());
    }
    AppHarness app(file);
    app.delegate().applicationDidFinishLaunching();
    Spin(20);
    EXPECT_TRUE(app.dialogs.alerts.isEmpty());

    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    Deblur(app, 6, DeblurUSM2);
    // Permission given later in the preferences: only the second deblur is reported (reports
    // leave in order, so a report of the first would have come first).
    app.layout().allowAnonStats->click();
    EXPECT_EQ(app.settings().value("allowAnonStats").toInt(), 1);
    app.layout().maskType->button(2)->click();
    app.layout().maskAmount->setFloatValue(0.25f);
    app.layout().maskRadius->setFloatValue(1.5f);
    app.layout().maskCrude->setFloatValue(0.75f);
    Deblur(app, 7, DeblurUSMF3);
    ASSERT_TRUE(WaitFor([&] { return !server->targets.isEmpty(); }, 20000));
    Spin(200);
    ASSERT_EQ(server->targets.size(), 1);
    EXPECT_EQ(server->targets[0],
              "/cgi-bin/vlkreport.cgi?width=451&height=300&radius=3.500&deblurType=USMF3"
              "&maskType=2&maskAmount=0.250&maskRadius=1.500&maskCrude=0.750");
    {
        AppHarness other;  // another user's second launch: "Sure!" gives the permission
        other.settings().setValue("mFirstLaunch", QDateTime::currentDateTime());
        other.delegate().applicationDidFinishLaunching();
        Spin(20);
        EXPECT_TRUE(other.layout().allowAnonStats->isChecked());
        EXPECT_TRUE(other.settings().value("allowAnonStats").toInt() == 1);
    }

    // A Help menu page with an anchor, in the help window.
    app.layout().supportAction->trigger();
    ASSERT_TRUE(app.delegate().helpWindow());
    EXPECT_EQ(app.delegate().helpWindow()->browser()->source().fragment(), "support");
    // It closes with its button, Esc and Ctrl+W.
    HelpWindow* help = app.delegate().helpWindow();
    for (int way = 0; way < 3; ++way) {
        app.layout().helpAction->trigger();
        ASSERT_TRUE(QTest::qWaitForWindowActive(help));
        if (way == 0)
            help->findChild<QPushButton*>("closeHelp")->click();
        else
            QTest::keyClick(help->browser(), way == 1 ? Qt::Key_Escape : Qt::Key_W,
                            way == 1 ? Qt::NoModifier : Qt::ControlModifier);
        EXPECT_FALSE(help->isVisible()) << way;
    }
    // Every link of every page stays inside the installed help (and its pictures), and every
    // anchor it names exists.
    const QDir helpDir(HelpWindow::helpDirectory());
    auto read = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    static const QRegularExpression link(R"re((?:href|src)="([^"]*)")re");
    for (const QString& page : helpDir.entryList({"*.html"})) {
        const QString html = read(helpDir.filePath(page));
        EXPECT_FALSE(html.isEmpty() || html.contains("://") || html.contains("mailto:"))
            << qPrintable(page);
        for (const QRegularExpressionMatch& m : link.globalMatch(html)) {
            const QString target = m.captured(1).section('#', 0, 0),
                          anchor = m.captured(1).section('#', 1),
                          path = helpDir.filePath(target.isEmpty() ? page : target);
            EXPECT_TRUE(QFileInfo::exists(path)) << qPrintable(page + ": " + m.captured(1));
            EXPECT_TRUE(anchor.isEmpty() || read(path).contains("name=\"" + anchor + "\""))
                << qPrintable(page + ": " + m.captured(1));
        }
    }
}

using AppDelegateTest = AppTest;

TEST_F(AppDelegateTest, ModifiedMarkerAndWarningsOnlyAfterChanges) {
    app.delegate().applicationShouldTerminate();  // nothing open: no question
    EXPECT_EQ(app.terminations, 1);
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    EXPECT_TRUE(l.mainWindow->windowTitle().startsWith("chelsea.png[*]"));
    l.tableView->selectRow(0);
    auto stroke = [&] { Paint(c, {{100, 100}}, 20, 1.0f); };
    const QString saved = app.temporaryPath("saved.png");
    auto save = [&] { ASSERT_TRUE(SaveAndWait(c, saved)); };
    const struct {
        const char* step;
        std::function<void()> act;
        bool modified;
    } steps[] = {
        {"load", [] {}, false},      {"stroke", stroke, true},
        {"save", save, false},       {"apply all", [&] { l.applyAllButton->click(); }, true},
        {"save again", save, false}, {"undo", [&] { l.undoAction->trigger(); }, true},
    };
    for (const auto& step : steps) {
        step.act();
        EXPECT_EQ(l.mainWindow->isWindowModified(), step.modified) << step.step;
        // Opening another asks only after a change (the answer cancels, and so does the panel).
        const qsizetype alerts = app.dialogs.alerts.size(), panels = app.dialogs.openFolders.size();
        app.dialogs.alertAnswers.push_back(AlertButton::Alternate);
        c.openImage();
        Spin(30);
        app.dialogs.alertAnswers.clear();
        EXPECT_EQ(app.dialogs.alerts.size() - alerts, step.modified ? 1 : 0) << step.step;
        EXPECT_EQ(app.dialogs.openFolders.size() - panels, step.modified ? 0 : 1) << step.step;
    }

    // Quitting with a change: "Cancel" stays, "Save" saves through the panel and then quits.
    app.dialogs.alertAnswers.push_back(AlertButton::Alternate);
    l.quitAction->trigger();
    Spin(30);
    EXPECT_EQ(app.terminations, 1);
    QFile::remove(saved);
    app.dialogs.alertAnswers.push_back(AlertButton::Default);
    app.dialogs.saveAnswers.push_back(saved);
    QCloseEvent close;  // closing the window is quitting too
    QCoreApplication::sendEvent(l.mainWindow, &close);
    EXPECT_FALSE(close.isAccepted());
    ASSERT_TRUE(WaitFor([&] { return app.terminations == 2; }));
    EXPECT_TRUE(QFile::exists(saved));
    EXPECT_FALSE(c.hasFileOpen());
    EXPECT_EQ(l.mainWindow->windowTitle(), "Velkaro");
}

TEST(AppDelegate, AlertsReportTheirButtonAndEscChoosesTheSafeOne) {
    TestApp();
    QWidget window;
    window.show();
    SheetDialogs dialogs;
    enum Ending { ClickProceed, ClickDontSave };  // (the close box is Esc, below)
    const AlertButton D = AlertButton::Default, A = AlertButton::Alternate, O = AlertButton::Other;
    const struct {
        AlertText text;
        Ending ending;
        AlertButton expected;
    } cases[] = {
        {{"Open?", "Cancel", "Proceed", "", D}, ClickProceed, A},
        {{"Go?", "Proceed", "Cancel", "", A}, ClickProceed, D},
        {{"Quit?", "Save", "Cancel", "", A, "Don't Save"}, ClickDontSave, O},
    };
    for (const auto& test : cases) {
        std::optional<AlertButton> answer;
        dialogs.beginAlert(&window, test.text, [&](AlertButton button) { answer = button; });
        QMessageBox* box = window.findChild<QMessageBox*>();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        EXPECT_EQ(box->defaultButton()->text(), test.text.defaultButton);
        for (QAbstractButton* button : box->buttons())
            if ((test.ending == ClickProceed && button->text() == "Proceed") ||
                (test.ending == ClickDontSave && button->text() == "Don't Save"))
                button->click();
        ASSERT_TRUE(WaitFor([&] { return answer.has_value(); }, 5000))
            << qPrintable(test.text.message) << " " << test.ending;
        EXPECT_EQ(*answer, test.expected) << qPrintable(test.text.message) << " " << test.ending;
        Spin(10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Every alert of the application, ended with Esc, starts nothing and loses nothing.
    qputenv("VELKARO_STATS_ENDPOINT", "http://127.0.0.1:9");  // so that the question comes
    AppHarness app;
    app.dialogs.escapeAlerts = true;
    app.layout().mainWindow->show();
    app.delegate().applicationDidFinishLaunching();  // the welcome
    Spin(50);
    app.delegate().applicationDidFinishLaunching();  // the statistics question
    Spin(50);
    qunsetenv("VELKARO_STATS_ENDPOINT");
    EXPECT_FALSE(app.layout().allowAnonStats->isChecked());
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    app.controller().applyAll();  // a change, so that opening and quitting ask
    app.controller().openImage();
    Spin(50);
    app.controller().maybeOpenImageAtPath(TestDataPath("coffee.png"));
    Spin(50);
    app.delegate().applicationShouldTerminate();
    Spin(50);
    app.controller().openImageAtPath(app.temporaryPath("missing.png"));  // a failure's alert
    ASSERT_TRUE(
        WaitFor([&] { return !app.controller().isBusy() && app.dialogs.alerts.size() == 6; }));
    Spin(50);
    EXPECT_TRUE(app.dialogs.openFolders.isEmpty());
    EXPECT_TRUE(app.dialogs.savePanelTypes.isEmpty());
    EXPECT_EQ(app.terminations, 0);
    EXPECT_FALSE(app.delegate().helpWindow());
    for (QMessageBox* box : app.layout().mainWindow->findChildren<QMessageBox*>())
        EXPECT_FALSE(box->isVisible());
}

namespace {

// A socket file as a crashed process leaves it: bound, no longer listening, never removed.
void MakeStaleSocket(const QString& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    ASSERT_LT(std::size_t(name.size()), sizeof(address.sun_path));
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(fd);
    ASSERT_TRUE(QFileInfo::exists(path));
}

// A later start handing `path` over from a thread of its own; whether the running one took it.
bool HandOverFromAnotherThread(const QString& server, const QString& path) {
    std::atomic<int> taken{-1};
    std::thread later([&] { taken = SingleInstance(server).handOver(path, 3000); });
    WaitFor([&] { return taken >= 0; }, 10000);
    later.join();
    return taken == 1;
}

// The window shows the photograph and is done loading it.
bool Showing(AppHarness& app, const char* name) {
    return !app.controller().isBusy() && app.controller().images().size() >= 3 &&
           app.layout().mainWindow->windowTitle().startsWith(name);
}

// The application program started as a second process of the user whose runtime folder is `home`.
QProcess* StartVelkaro(const QString& home, const QStringList& arguments, QObject* parent) {
    auto* process = new QProcess(parent);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", home);
    environment.insert("XDG_CONFIG_HOME", home + "/config");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process->setProcessEnvironment(environment);
    process->start(QCoreApplication::applicationDirPath() + "/velkaro", arguments);
    return process;
}

}  // namespace

TEST_F(AppDelegateTest, ALaterStartHandsItsFileToTheRunningWindow) {
    // One window per user and display: the screens of one display share a socket, two displays
    // (or an X and a Wayland session) never do.
    const auto key = [](const char* wayland, const char* x11, const char* platform) {
        return SingleInstance::displayKey(wayland, x11, platform);
    };
    EXPECT_EQ(key("", ":0", "xcb"), key("", ":0.1", "xcb"));
    EXPECT_EQ(key("wayland-0", ":0", "wayland"), key("/run/user/7/wayland-0", "", "wayland"));
    const QString keys[] = {key("", ":0", "xcb"),
                            key("", ":1", "xcb"),
                            key("", "otherhost:0", "xcb"),
                            key("wayland-0", ":0", "wayland"),
                            key("wayland-1", ":0", "wayland"),
                            key("", "", "offscreen")};
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        EXPECT_FALSE(keys[i].contains('/') || keys[i].contains(':')) << qPrintable(keys[i]);
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(keys[i], keys[j]);
    }
    EXPECT_EQ(key("wayland-0", ":0", "xcb"), keys[0]);  // an X client of a Wayland session

    QTemporaryDir home;
    // The program's name for its socket there (it inherits this display and platform).
    const QString server = SingleInstance::serverName(
        home.path(),
        key(qgetenv("WAYLAND_DISPLAY").constData(), qgetenv("DISPLAY").constData(), "offscreen"));
    // The running window's socket replaces one that a crashed process left behind.
    MakeStaleSocket(server);
    auto running = std::make_unique<SingleInstance>(server);
    EXPECT_FALSE(running->handOver("/photos/a.jpg", 1000));
    ASSERT_TRUE(running->listen());
    QObject::connect(running.get(), &SingleInstance::openRequested, &app.delegate(),
                     [&](const QString& path) { app.delegate().applicationOpenFile(path); });
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));

    // With unsaved changes the window asks first, as File > Open does; with previews computed it
    // asks whether to discard them; without either, it just opens.
    enum Work { Nothing, Changed, Previews };
    const struct {
        Work work;
        AlertButton answer;
        const char* photo;
        const char* expectedOpen;
    } cases[] = {
        {Changed, AlertButton::Alternate, "coffee.png", "chelsea.png"},   // Cancel
        {Changed, AlertButton::Other, "coffee.png", "coffee.png"},        // Don't Save
        {Previews, AlertButton::Alternate, "chelsea.png", "coffee.png"},  // Cancel
        {Previews, AlertButton::Default, "chelsea.png", "chelsea.png"},   // Open
        {Nothing, AlertButton::Default, "chelsea.png", "chelsea.png"},
    };
    for (const auto& test : cases) {
        if (test.work == Changed)
            Paint(c, {{50, 50}}, 20, 1.0f);
        if (test.work == Previews) {
            c.session().deblurPreviewAngleStep(1, DeblurUSM1, -1, Rect{0, 0, 64, 64});
            ASSERT_TRUE(WaitFor([&] { return c.session().previewCount() > 0; }));
        }
        const qsizetype alerts = app.dialogs.alerts.size();
        app.dialogs.alertAnswers = {test.answer};
        EXPECT_TRUE(HandOverFromAnotherThread(server, TestDataPath(test.photo)));
        EXPECT_EQ(app.dialogs.alerts.size() - alerts, test.work == Nothing ? 0 : 1) << test.photo;
        EXPECT_TRUE(WaitFor([&] { return Showing(app, test.expectedOpen); }))
            << qPrintable(app.layout().mainWindow->windowTitle());
    }

    // The real program: a second start hands its file over and ends with status 0; after a
    // crash (the socket left behind) a new start becomes the running window itself.
    if (!QFileInfo::exists(QCoreApplication::applicationDirPath() + "/velkaro"))
        GTEST_SKIP() << "the application program is not built";
    QProcess* second = StartVelkaro(home.path(), {TestDataPath("coffee.png")}, &app.delegate());
    ASSERT_TRUE(WaitFor([&] { return second->state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0) << second->readAllStandardError().constData();
    EXPECT_TRUE(WaitFor([&] { return Showing(app, "coffee.png"); }));

    running.reset();
    MakeStaleSocket(server);
    QProcess* after = StartVelkaro(home.path(), {}, &app.delegate());
    EXPECT_TRUE(WaitFor([&] { return HandOverFromAnotherThread(server, QString()); }, 30000));
    EXPECT_EQ(after->state(), QProcess::Running);
    after->kill();
    after->waitForFinished(10000);
}
