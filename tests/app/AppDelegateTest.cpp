// The application delegate: the first-launch welcome, the statistics question at the second
// launch, the usage reports (received by a small HTTP server on 127.0.0.1), quitting, and the help
// addresses.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include "AppTestSupport.h"
#include "ImageMatrix.h"
#include "UsageReport.h"
#include "ViewsTestSupport.h"

// Receives the addresses the application asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

namespace {

// A tiny HTTP server: remembers the request line and headers of every request and answers 200.
class ReportServer {
public:
    struct Request {
        QString target;  // path and query
        QMap<QString, QString> headers;
    };

    ReportServer() {
        mServer.listen(QHostAddress::LocalHost);
        QObject::connect(&mServer, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = mServer.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
            }
        });
    }
    QString endpoint() const { return QString("http://127.0.0.1:%1").arg(mServer.serverPort()); }
    QList<Request> requests;

private:
    void read(QTcpSocket* socket) {
        QByteArray& buffer = mBuffers[socket];
        buffer += socket->readAll();
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0) return;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        Request request;
        const QList<QByteArray> first = lines.first().trimmed().split(' ');
        if (first.size() >= 2) request.target = QString::fromLatin1(first[1]);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers[QString::fromLatin1(lines[i].left(colon)).toLower()] =
                    QString::fromLatin1(lines[i].mid(colon + 1).trimmed());
        }
        requests << request;
        mBuffers.remove(socket);
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
    }

    QTcpServer mServer;
    QMap<QTcpSocket*, QByteArray> mBuffers;
};

// Reports go straight to the test's server, not through a proxy of the environment.
void UseEndpoint(const QString& endpoint) {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) qunsetenv(name);
    qputenv("no_proxy", "127.0.0.1,localhost");
    qputenv("VELKARO_STATS_ENDPOINT", endpoint.toUtf8());
}

// Clicks a point, waits for the first preview, selects a cell and deblurs it.
void Deblur(AppHarness& app, int row, int column) {
    Controller& c = app.controller();
    c.deblurAtPoint({100, 100});
    ImageMatrix& grid = *app.layout().imageMatrix;
    grid.setSelectedRow(row, column);
    c.addDeblur();
}

}  // namespace

TEST(AppDelegate, WelcomeAtFirstLaunchQuestionAtSecond) {
    TestApp();
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
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
        ASSERT_EQ(recorder.urls.size(), 1);
        EXPECT_EQ(recorder.urls[0].path(), "/products/velkaro/tutorials/basics.html");
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
    {
        AppHarness third(file);
        third.delegate().applicationDidFinishLaunching();
        Spin(20);
        EXPECT_TRUE(third.dialogs.alerts.isEmpty());
        EXPECT_FALSE(third.layout().allowAnonStats->isChecked());
    }
    EXPECT_EQ(recorder.urls.size(), 1);
    QDesktopServices::unsetUrlHandler("https");
}

TEST(AppDelegate, UsageReportOnlyWithPermission) {
    TestApp();  // the server's socket needs the application's event dispatcher
    ReportServer server;
    UseEndpoint(server.endpoint());
    {
        AppHarness app;
        app.settings().setValue("mFirstLaunch", QDateTime::currentDateTime());
        app.dialogs.alertAnswers.push_back(AlertButton::Alternate);  // "No, thanks."
        app.delegate().applicationDidFinishLaunching();
        Spin(20);
        ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
        Deblur(app, 6, DeblurUSM2);
        // Permission given later in the preferences: only this second deblur is reported (reports
        // leave in order, so a report of the first would have come first).
        app.layout().allowAnonStats->click();
        EXPECT_EQ(app.settings().value("allowAnonStats").toInt(), 1);
        app.layout().maskType->button(2)->click();
        app.layout().maskAmount->setFloatValue(0.25f);
        app.layout().maskRadius->setFloatValue(1.5f);
        app.layout().maskCrude->setFloatValue(0.75f);
        Deblur(app, 7, DeblurUSMF3);
        ASSERT_TRUE(WaitFor([&] { return !server.requests.isEmpty(); }, 20000));
        Spin(200);
        ASSERT_EQ(server.requests.size(), 1);
        EXPECT_EQ(server.requests[0].target,
                  "/cgi-bin/vlkreport.cgi?width=451&height=300&radius=3.500&deblurType=USMF3"
                  "&maskType=2&maskAmount=0.250&maskRadius=1.500&maskCrude=0.750");
        EXPECT_EQ(server.requests[0].headers.value("user-agent"), "Velkaro " VELKARO_VERSION);
    }
    {
        AppHarness app;
        app.settings().setValue("mFirstLaunch", QDateTime::currentDateTime());
        app.dialogs.alertAnswers.push_back(AlertButton::Default);  // "Sure!"
        app.delegate().applicationDidFinishLaunching();
        Spin(20);
        EXPECT_TRUE(app.layout().allowAnonStats->isChecked());
        EXPECT_EQ(app.settings().value("allowAnonStats").toInt(), 1);
        ASSERT_TRUE(app.open(TestDataPath("coffee.png")));
        Deblur(app, 2, DeblurUSM1);
        ASSERT_TRUE(WaitFor([&] { return server.requests.size() == 2; }, 20000));
        EXPECT_EQ(server.requests[1].target,
                  "/cgi-bin/vlkreport.cgi?width=600&height=400&radius=1.000&deblurType=USM1"
                  "&maskType=0&maskAmount=0.000&maskRadius=2.000&maskCrude=0.250");
        // An invalid selection deblurs nothing and reports nothing.
        app.layout().imageMatrix->setSelectedRow(0, 0);
        app.controller().addDeblur();
        Spin(300);
        EXPECT_EQ(server.requests.size(), 2);
    }
    qunsetenv("VELKARO_STATS_ENDPOINT");
}

TEST(AppDelegate, ReportAddressAndEndpoint) {
    UsageReportFields fields;
    fields.width = 1024;
    fields.height = 768;
    fields.radiusStep = 6;
    fields.deblurType = DeblurRL20;
    fields.maskType = 0;
    fields.maskAmount = 0.5f;
    fields.maskRadius = 2.0f;
    fields.maskCrude = 0.25f;
    EXPECT_EQ(UsageReportAddress("http://example.invalid", fields),
              "http://example.invalid/cgi-bin/vlkreport.cgi?width=1024&height=768&radius=3.000"
              "&deblurType=RL20&maskType=0&maskAmount=0.500&maskRadius=2.000&maskCrude=0.250");
    fields.deblurType = 22;
    EXPECT_TRUE(UsageReportAddress("http://h/", fields).startsWith("http://h/cgi-bin/vlkreport.cgi?"));
    EXPECT_TRUE(UsageReportAddress("http://h", fields).contains("&deblurType=bad_deblur_type&"));

    AppHarness app;
    qunsetenv("VELKARO_STATS_ENDPOINT");
    EXPECT_EQ(UsageReportEndpoint(app.settings()), "http://stats.velkaro.invalid");
    app.settings().setValue("statsEndpoint", "http://127.0.0.2:9");
    EXPECT_EQ(UsageReportEndpoint(app.settings()), "http://127.0.0.2:9");
    qputenv("VELKARO_STATS_ENDPOINT", "http://127.0.0.3:9");
    EXPECT_EQ(UsageReportEndpoint(app.settings()), "http://127.0.0.3:9");
    qunsetenv("VELKARO_STATS_ENDPOINT");
}

TEST(AppDelegate, QuittingAsksOnlyWithAnImageOpen) {
    AppHarness app;
    app.delegate().applicationShouldTerminate();
    EXPECT_EQ(app.terminations, 1);
    EXPECT_TRUE(app.dialogs.alerts.isEmpty());

    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    app.dialogs.alertAnswers.push_back(AlertButton::Default);  // "No"
    app.layout().quitAction->trigger();
    Spin(30);
    EXPECT_EQ(app.terminations, 1);
    ASSERT_EQ(app.dialogs.alerts.size(), 1);
    EXPECT_EQ(app.dialogs.alerts[0].message, "You are about to quit Velkaro.");
    EXPECT_EQ(app.dialogs.alerts[0].defaultButton, "No");
    EXPECT_EQ(app.dialogs.alerts[0].alternateButton, "Yes");
    EXPECT_EQ(app.dialogs.alerts[0].informative,
              "Your changes will be lost if you don't save them. Do you still want to quit Velkaro?\n");
    EXPECT_TRUE(app.controller().hasFileOpen());

    // Closing the window is quitting too; "Yes" quits, stopping a deblur that is still running.
    Deblur(app, 30, DeblurLA2);
    app.dialogs.alertAnswers.push_back(AlertButton::Alternate);
    QCloseEvent close;
    QCoreApplication::sendEvent(app.layout().mainWindow, &close);
    EXPECT_FALSE(close.isAccepted());
    ASSERT_TRUE(WaitFor([&] { return app.terminations == 2; }));
    EXPECT_EQ(app.dialogs.alerts.size(), 2);
    EXPECT_FALSE(app.controller().hasFileOpen());
    EXPECT_EQ(app.controller().session().mRunningDeblurs.load(), 0);
}

TEST(AppDelegate, HelpAddresses) {
    TestApp();
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    QDesktopServices::setUrlHandler("mailto", &recorder, "open");
    AppHarness app;
    app.layout().helpAction->trigger();
    app.layout().faqAction->trigger();
    app.layout().supportAction->trigger();
    ASSERT_EQ(recorder.urls.size(), 3);
    EXPECT_EQ(recorder.urls[0].path(), "/products/velkaro/tutorials/basics.html");
    EXPECT_EQ(recorder.urls[1].path(), "/products/velkaro/faq.html");
    EXPECT_EQ(recorder.urls[1].host(), recorder.urls[0].host());
    EXPECT_EQ(recorder.urls[2].scheme(), "mailto");
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("mailto");
}

#include "AppDelegateTest.moc"
