#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace velkaro {

// One window per user and display: the first process listens on a local socket of the user's own,
// named after the display it shows on; a later start on the same display hands its file (or an
// empty request, which only raises the window) to that process and ends. A start on another
// display (another X server, another Wayland session) opens a window of its own there. A socket
// left behind by a process that crashed is removed and taken over.
class SingleInstance : public QObject {
    Q_OBJECT

  public:
    // `serverName` is the socket's full path; defaultServerName() for the application.
    explicit SingleInstance(const QString& serverName, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The user's socket for the display this process shows on: in the user's runtime folder
    // (XDG_RUNTIME_DIR), else in the temporary folder with the user id in its name.
    static QString defaultServerName();
    // The socket's path in `runtimeFolder` (empty: the temporary folder, with the user id) for the
    // display named by `display` (see displayKey).
    static QString serverName(const QString& runtimeFolder, const QString& display);
    // A file-name-safe name of the display a window shows on: the Wayland socket's name, or the X
    // display without its screen number (":0.1" and ":0" are one display), whichever the windowing
    // platform `platform` uses ("xcb": X, "wayland": Wayland, another: Wayland before X), else the
    // platform's own name.
    static QString displayKey(const QString& waylandDisplay, const QString& x11Display,
                              const QString& platform);

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
