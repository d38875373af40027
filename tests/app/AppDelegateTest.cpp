// The application delegate: the first-launch welcome, the statistics question at the second
// launch, the usage reports (received by a small HTTP server on 127.0.0.1), quitting, and the help
// addresses.

#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <optional>

#include "AppTestSupport.h"
#include "UsageReport.h"

// Receives the addresses the application asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls << url; }
};

namespace {

// A tiny HTTP server: keeps the target and the User-Agent of every request and answers 200.
struct ReportServer {
    QTcpServer server;
    QStringList targets, agents;

    ReportServer() {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    const QByteArray head = socket->peek(1 << 16);
                    if (!head.contains("\r\n\r\n"))
                        return;
                    const QList<QByteArray> lines = head.left(head.indexOf("\r\n\r\n")).split('\n');
                    targets << QString::fromLatin1(lines[0].split(' ').value(1));
                    for (const QByteArray& line : lines)
                        if (line.toLower().startsWith("user-agent:"))
                            agents << QString::fromLatin1(line.mid(11).trimmed());
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

// A launch after the first one, answering the statistics question.
void SecondLaunch(AppHarness& app, AlertButton answer) {
    app.settings().setValue("mFirstLaunch", QDateTime::currentDateTime());
    app.dialogs.alertAnswers.push_back(answer);
    app.delegate().applicationDidFinishLaunching();
    Spin(20);
}

}  // namespace

TEST(AppDelegate, WelcomeAtFirstLaunchQuestionAtSecondAndHelpAddresses) {
    TestApp();
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    QDesktopServices::setUrlHandler("mailto", &recorder, "open");
    QTemporaryDir folder;
    const QString file = folder.filePath("velkaro.ini");
    {
        AppHarness first(file);
        first.dialogs.alertAnswers.push_back(AlertButton::Default);  // "Show me!"
        first.delegate().applicationDidFinishLaunching();
        Spin(20);
        ASSERT_EQ(first.dialogs.alerts.size(), 1);
        EXPECT_EQ(first.dialogs.alerts[0].message, "Welcome to Velkaro!");
        EXPECT_EQ(first.dialogs.alerts[0].defaultButton, "Show me!");
        EXPECT_EQ(first.dialogs.alerts[0].alternateButton, "No, thanks.");
        EXPECT_TRUE(first.settings().contains("mFirstLaunch"));
        EXPECT_FALSE(first.settings().contains("allowAnonStats"));
        ASSERT_EQ(recorder.urls.size(), 1);  // the tutorial
    }
    {
        AppHarness second(file);
        second.dialogs.alertAnswers.push_back(AlertButton::Alternate);  // "No, thanks."
        second.layout().allowAnonStats->setChecked(true);
        second.delegate().applicationDidFinishLaunching();
        Spin(20);
        ASSERT_EQ(second.dialogs.alerts.size(), 1);
        EXPECT_EQ(second.dialogs.alerts[0].message, "Help improve Velkaro!");
        EXPECT_EQ(second.dialogs.alerts[0].defaultButton, "Sure!");
        EXPECT_TRUE(second.dialogs.alerts[0].informative.startsWith("With your permission"));
        EXPECT_EQ(second.settings().value("allowAnonStats").toInt(), 0);
        EXPECT_FALSE(second.layout().allowAnonStats->isChecked());
    }
    AppHarness third(file);
    third.delegate().applicationDidFinishLaunching();
    Spin(20);
    EXPECT_TRUE(third.dialogs.alerts.isEmpty());

    third.layout().helpAction->trigger();
    third.layout().faqAction->trigger();
    third.layout().supportAction->trigger();
    ASSERT_EQ(recorder.urls.size(), 4);
    EXPECT_EQ(recorder.urls[0].path(), "/products/velkaro/tutorials/basics.html");
    EXPECT_EQ(recorder.urls[1], recorder.urls[0]);
    EXPECT_EQ(recorder.urls[2].path(), "/products/velkaro/faq.html");
    EXPECT_EQ(recorder.urls[2].host(), recorder.urls[0].host());
    EXPECT_EQ(recorder.urls[3].scheme(), "mailto");
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("mailto");
}

TEST(AppDelegate, UsageReportOnlyWithPermission) {
    TestApp();  // the server's socket needs the application's event dispatcher
    ReportServer server;
    {
        AppHarness app;
        SecondLaunch(app, AlertButton::Alternate);  // "No, thanks."
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
        ASSERT_TRUE(WaitFor([&] { return !server.targets.isEmpty(); }, 20000));
        Spin(200);
        ASSERT_EQ(server.targets.size(), 1);
        EXPECT_EQ(server.targets[0],
                  "/cgi-bin/vlkreport.cgi?width=451&height=300&radius=3.500&deblurType=USMF3"
                  "&maskType=2&maskAmount=0.250&maskRadius=1.500&maskCrude=0.750");
        EXPECT_EQ(server.agents.value(0), "Velkaro " VELKARO_VERSION);
    }
    AppHarness app;
    SecondLaunch(app, AlertButton::Default);  // "Sure!"
    EXPECT_TRUE(app.layout().allowAnonStats->isChecked());
    EXPECT_EQ(app.settings().value("allowAnonStats").toInt(), 1);
    ASSERT_TRUE(app.open(TestDataPath("coffee.png")));
    Deblur(app, 2, DeblurUSM1);
    ASSERT_TRUE(WaitFor([&] { return server.targets.size() == 2; }, 20000));
    EXPECT_EQ(server.targets[1],
              "/cgi-bin/vlkreport.cgi?width=600&height=400&radius=1.000&deblurType=USM1"
              "&maskType=0&maskAmount=0.000&maskRadius=2.000&maskCrude=0.250");
    // An invalid selection deblurs nothing and reports nothing.
    app.layout().imageMatrix->setSelectedRow(0, 0);
    app.controller().addDeblur();
    Spin(300);
    EXPECT_EQ(server.targets.size(), 2);
}

TEST(AppDelegate, ModifiedMarkerAndWarningsOnlyAfterChanges) {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    app.delegate().applicationShouldTerminate();  // nothing open: no question
    EXPECT_EQ(app.terminations, 1);
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    EXPECT_TRUE(l.mainWindow->windowTitle().startsWith("chelsea.png[*]"));
    l.tableView->selectRow(0);
    auto stroke = [&] {
        c.startBrush();
        c.applyBrushAtPoint({100, 100}, 20, 1.0f);
        c.endBrush();
    };
    const QString saved = app.temporaryPath("saved.png");
    auto save = [&] {
        QSignalSpy done(&c, &Controller::saveFinished);
        ASSERT_TRUE(c.saveResultToPath(saved));
        ASSERT_TRUE(done.wait(30000));
    };
    const struct {
        const char* step;
        std::function<void()> act;
        bool modified;
    } steps[] = {
        {"load", [] {}, false},
        {"stroke", stroke, true},
        {"save", save, false},
        {"apply all", [&] { l.applyAllButton->click(); }, true},
        {"save again", save, false},
        {"undo", [&] { l.undoAction->trigger(); }, true},
        {"save a third time", save, false},
        {"redo", [&] { l.redoAction->trigger(); }, true},
    };
    for (const auto& step : steps) {
        step.act();
        EXPECT_EQ(l.mainWindow->isWindowModified(), step.modified) << step.step;
        // Opening another asks only after a change (the answer cancels, and so does the panel).
        const qsizetype alerts = app.dialogs.alerts.size(), panels = app.dialogs.openPanels.size();
        app.dialogs.alertAnswers.push_back(AlertButton::Alternate);
        c.openImage();
        Spin(30);
        app.dialogs.alertAnswers.clear();
        EXPECT_EQ(app.dialogs.alerts.size() - alerts, step.modified ? 1 : 0) << step.step;
        EXPECT_EQ(app.dialogs.openPanels.size() - panels, step.modified ? 0 : 1) << step.step;
    }

    // Quitting with a change: "Cancel" stays, "Save" saves through the panel and then quits.
    app.dialogs.alertAnswers.push_back(AlertButton::Alternate);
    l.quitAction->trigger();
    Spin(30);
    EXPECT_EQ(app.terminations, 1);
    EXPECT_EQ(app.dialogs.alerts.last().message, "You are about to quit Velkaro.");
    EXPECT_EQ(app.dialogs.alerts.last().otherButton, "Don't Save");
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
    enum Ending { ClickCancel, ClickProceed, ClickDontSave, Escape, CloseBox };
    const AlertButton D = AlertButton::Default, A = AlertButton::Alternate, O = AlertButton::Other;
    const struct {
        AlertText text;
        Ending ending;
        AlertButton expected;
    } cases[] = {
        {{"Open?", "Cancel", "Proceed", "", D}, ClickCancel, D},
        {{"Open?", "Cancel", "Proceed", "", D}, ClickProceed, A},
        {{"Open?", "Cancel", "Proceed", "", D}, Escape, D},
        {{"Open?", "Cancel", "Proceed", "", D}, CloseBox, D},
        {{"Go?", "Proceed", "Cancel", "", A}, ClickProceed, D},
        {{"Go?", "Proceed", "Cancel", "", A}, Escape, A},
        {{"Go?", "Proceed", "Cancel", "", A}, CloseBox, A},
        {{"Failed.", "Cancel", "", "", D}, Escape, D},
        {{"Quit?", "Save", "Cancel", "", A, "Don't Save"}, ClickDontSave, O},
        {{"Quit?", "Save", "Cancel", "", A, "Don't Save"}, Escape, A},
        {{"Quit?", "Save", "Cancel", "", A, "Don't Save"}, CloseBox, A},
    };
    for (const auto& test : cases) {
        std::optional<AlertButton> answer;
        dialogs.beginAlert(&window, test.text, [&](AlertButton button) { answer = button; });
        QMessageBox* box = window.findChild<QMessageBox*>();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        EXPECT_EQ(box->defaultButton()->text(), test.text.defaultButton);
        if (test.ending == Escape)
            QTest::keyClick(box, Qt::Key_Escape);
        if (test.ending == CloseBox)
            box->close();
        for (QAbstractButton* button : box->buttons())
            if ((test.ending == ClickCancel && button->text() == "Cancel") ||
                (test.ending == ClickProceed && button->text() == "Proceed") ||
                (test.ending == ClickDontSave && button->text() == "Don't Save"))
                button->click();
        ASSERT_TRUE(WaitFor([&] { return answer.has_value(); }, 5000))
            << qPrintable(test.text.message) << " " << test.ending;
        EXPECT_EQ(*answer, test.expected) << qPrintable(test.text.message) << " " << test.ending;
        Spin(10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Every alert of the application, ended with Esc, starts nothing and loses nothing.
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    AppHarness app;
    app.dialogs.escapeAlerts = true;
    app.layout().mainWindow->show();
    app.delegate().applicationDidFinishLaunching();  // the welcome
    Spin(50);
    app.delegate().applicationDidFinishLaunching();  // the statistics question
    Spin(50);
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
    EXPECT_TRUE(app.dialogs.openPanels.isEmpty() && app.dialogs.savePanelTypes.isEmpty());
    EXPECT_EQ(app.terminations, 0);
    EXPECT_TRUE(recorder.urls.isEmpty());
    for (QMessageBox* box : app.layout().mainWindow->findChildren<QMessageBox*>())
        EXPECT_FALSE(box->isVisible());
    QDesktopServices::unsetUrlHandler("https");
}

#include "AppDelegateTest.moc"
