#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace velkaro {

// One window per user: the first process listens on a local socket of the user's own; a later
// start hands its file (or an empty request, which only raises the window) to that process and
// ends. A socket left behind by a process that crashed is removed and taken over.
class SingleInstance : public QObject {
    Q_OBJECT

  public:
    // `serverName` is the socket's full path; defaultServerName() for the application.
    explicit SingleInstance(const QString& serverName, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The user's socket: in the user's runtime folder (XDG_RUNTIME_DIR), else in the temporary
    // folder with the user id in its name.
    static QString defaultServerName();

    // Hands `path` (absolute, or empty) to a running process; true when that process took it,
    // false when none answers (no socket, or a stale one).
    bool handOver(const QString& path, int timeoutMs = 5000);
    // Becomes the running process, removing a stale socket first; false when another process
    // holds the socket or it cannot be made.
    bool listen();
    bool isListening() const;
    const QString& serverName() const { return mServerName; }

  signals:
    // A later start asked to open `path` (empty: just show the window).
    void openRequested(const QString& path);

  private:
    void acceptConnections();

    QString mServerName;
    QLocalServer* mServer = nullptr;
};

}  // namespace velkaro
