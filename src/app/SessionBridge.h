#pragma once

#include <QMetaType>
#include <QObject>
#include <atomic>
#include <deque>

#include "Session.h"

namespace velkaro {

// How the window hears its session: the session's events, sent on worker threads, come back on
// the bridge's thread as the queued signal sessionEvent(), in the order they were sent.
//
// While the window is held (long work is running behind the progress sheet) arriving events wait
// and are delivered, in order, when it is released. Events sent before forgetEvents() (the
// photograph was closed) or forgetPreviewEvents() (the previews were cleared) describe results
// that are gone: they are dropped.
class SessionBridge : public QObject {
    Q_OBJECT

  public:
    // Installs itself as the session's event handler; the session must be idle.
    explicit SessionBridge(Session& session, QObject* parent = nullptr);

    void hold();
    void release();
    void forgetEvents();
    void forgetPreviewEvents();

  signals:
    void sessionEvent(const SessionEvent& event);

  private:
    struct Stamped {
        SessionEvent event;
        int sessionEpoch;
        int previewEpoch;
    };
    // On the bridge's thread.
    void arrive(const Stamped& stamped);
    void deliver(const Stamped& stamped);

    std::atomic<int> mSessionEpoch{0};
    std::atomic<int> mPreviewEpoch{0};
    int mHeld = 0;
    std::deque<Stamped> mWaiting;
};

}  // namespace velkaro
Q_DECLARE_METATYPE(velkaro::SessionEvent)
