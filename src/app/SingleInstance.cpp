#include "SingleInstance.h"

#include <unistd.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

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

QString SingleInstance::defaultServerName() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return QDir(runtime).filePath("velkaro.socket");
    return QDir(QDir::tempPath()).filePath(QString("velkaro-%1.socket").arg(getuid()));
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
