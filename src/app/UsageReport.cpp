#include "UsageReport.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSettings>
#include <QThread>
#include <QUrl>
#include <cstdio>

#include "ControllerModel.h"
#include "DeblurTypes.h"
#include "Log.h"

namespace velkaro {

namespace {

// The endpoint chosen when the application was built (empty: none).
constexpr const char* kBuiltInEndpoint = VELKARO_STATS_ENDPOINT;
constexpr int kTimeoutMilliseconds = 60 * 1000;

}  // namespace

QString UsageReportEndpoint(const QSettings& settings) {
    const QString fromEnvironment = qEnvironmentVariable("VELKARO_STATS_ENDPOINT");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString stored = settings.value("statsEndpoint").toString();
    if (!stored.isEmpty())
        return stored;
    return QString::fromUtf8(kBuiltInEndpoint);
}

QString UsageReportAddress(const QString& endpoint, const UsageReportFields& f) {
    QString address = endpoint;
    while (address.endsWith('/')) address.chop(1);
    address += "/cgi-bin/vlkreport.cgi";
    address += "?";
    address += StringWithFormat("width=%d", f.width);
    address += StringWithFormat("&height=%d", f.height);
    address += StringWithFormat("&radius=%.3f", double(f.radiusStep) * 0.5);
    address += StringWithFormat("&deblurType=%s", DeblurTypeName(f.deblurType));
    address += StringWithFormat("&maskType=%d", f.maskType);
    address += StringWithFormat("&maskAmount=%.3f", double(f.maskAmount));
    address += StringWithFormat("&maskRadius=%.3f", double(f.maskRadius));
    address += StringWithFormat("&maskCrude=%.3f", double(f.maskCrude));
    return address;
}

// Lives on the reporter's thread; its network manager is created there on first use.
struct UsageReporter::Worker {
    QThread thread;
    QObject context;  // moved to the thread: the requests are started in its affinity
    QNetworkAccessManager* network = nullptr;  // child of `context`

    void send(const QString& address, const QString& userAgent) {
        if (!network)
            network = new QNetworkAccessManager(&context);
        QNetworkRequest request{QUrl(address)};
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
        request.setTransferTimeout(kTimeoutMilliseconds);
        request.setRawHeader("User-Agent", userAgent.toUtf8());
        QNetworkReply* reply = network->get(request);
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    }
};

UsageReporter::UsageReporter() : mWorker(std::make_unique<Worker>()) {
    mWorker->thread.setObjectName("usage reports");
    mWorker->context.moveToThread(&mWorker->thread);
    QObject::connect(&mWorker->thread, &QThread::finished, &mWorker->context,
                     [worker = mWorker.get()] {
                         // Pending reports are dropped with the manager, on its own thread.
                         delete worker->network;
                         worker->network = nullptr;
                     });
    mWorker->thread.start();
}

UsageReporter::~UsageReporter() {
    mWorker->thread.quit();
    mWorker->thread.wait();
}

void UsageReporter::reportStats(const QString& address) {
    LogInfo("reportStats: %s\n", qPrintable(address));
    const QString userAgent = QStringLiteral("Velkaro " VELKARO_VERSION);
    Worker* worker = mWorker.get();
    QMetaObject::invokeMethod(
        &worker->context, [worker, address, userAgent] { worker->send(address, userAgent); },
        Qt::QueuedConnection);
}

}  // namespace velkaro
