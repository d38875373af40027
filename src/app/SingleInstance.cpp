#include "SingleInstance.h"

#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>

#include "Log.h"

namespace velkaro {

namespace {

// One request is one line: the file's path in UTF-8 (empty to just show the window). The running
// process answers with this line once it has taken the request.
constexpr char kAcknowledgement[] = "ok\n";
constexpr qint64 kMaxRequest = 64 * 1024;

}  // namespace

SingleInstance::SingleInstance(const QString& serverName, QObject* parent)
    : QObject(parent), mServerName(serverName) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::displayKey(const QString& waylandDisplay, const QString& x11Display,
                                   const QString& platform) {
    // The platform in use decides which display the window is on (an X client of a Wayland
    // session shows on the X display); another platform takes whichever is set.
    const bool wayland =
        !waylandDisplay.isEmpty() &&
        (platform.startsWith("wayland") || !platform.startsWith("xcb") || x11Display.isEmpty());
    QString key;
    if (wayland) {
        key = "wayland-" + QFileInfo(waylandDisplay).fileName();
    } else if (!x11Display.isEmpty()) {
        // host:display.screen; the screens of one display share its window.
        key = x11Display;
        const qsizetype colon = key.lastIndexOf(':');
        const qsizetype dot = key.indexOf('.', colon + 1);
        if (colon >= 0 && dot > colon)
            key.truncate(dot);
        key = "x11-" + key;
    } else {
        key = platform.isEmpty() ? QString("none") : platform;
    }
    static const QRegularExpression unsafe("[^A-Za-z0-9_.-]");
    return key.replace(unsafe, "_");
}

QString SingleInstance::serverName(const QString& runtimeFolder, const QString& display) {
    if (!runtimeFolder.isEmpty())
        return QDir(runtimeFolder).filePath(QString("velkaro-%1.socket").arg(display));
    return QDir(QDir::tempPath())
        .filePath(QString("velkaro-%1-%2.socket").arg(getuid()).arg(display));
}

QString SingleInstance::defaultServerName() {
    const QString display =
        displayKey(qEnvironmentVariable("WAYLAND_DISPLAY"), qEnvironmentVariable("DISPLAY"),
                   QGuiApplication::platformName());
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return serverName(!runtime.isEmpty() && QDir(runtime).exists() ? runtime : QString(), display);
}

bool SingleInstance::handOver(const QString& path, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(mServerName);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(path.toUtf8() + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(timeoutMs)) answer += socket.readAll();
    return answer == kAcknowledgement;
}

bool SingleInstance::listen() {
    if (isListening())
        return true;
    mServer = new QLocalServer(this);
    mServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!mServer->listen(mServerName)) {
        // A socket that nobody answers on was left by a process that ended without closing it.
        if (mServer->serverError() != QAbstractSocket::AddressInUseError || handOver({}, 1000) ||
            !QLocalServer::removeServer(mServerName) || !mServer->listen(mServerName)) {
            LogInfo("cannot listen on %s: %s\n", qPrintable(mServerName),
                    qPrintable(mServer->errorString()));
            delete mServer;
            mServer = nullptr;
            return false;
        }
    }
    connect(mServer, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    return true;
}

bool SingleInstance::isListening() const {
    return mServer && mServer->isListening();
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = mServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxRequest)
                    socket->abort();
                return;
            }
            const QString path = QString::fromUtf8(socket->readLine()).chopped(1);
            socket->write(kAcknowledgement);
            socket->flush();
            socket->disconnectFromServer();
            emit openRequested(path);
        });
    }
}

}  // namespace velkaro
