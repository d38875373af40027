#include "SessionBridge.h"

namespace velkaro {

namespace {

bool isPreviewEvent(SessionEventType type) {
    return type == SessionEventType::PreviewStarted || type == SessionEventType::PreviewCancelled ||
           type == SessionEventType::PreviewFinished;
}

}  // namespace

SessionBridge::SessionBridge(Session& session, QObject* parent) : QObject(parent) {
    qRegisterMetaType<SessionEvent>();
    session.setEventHandler([this](const SessionEvent& event) {
        const Stamped stamped{event, mSessionEpoch.load(), mPreviewEpoch.load()};
        // Posted calls reach the bridge's thread in the order they were posted.
        QMetaObject::invokeMethod(
            this, [this, stamped] { arrive(stamped); }, Qt::QueuedConnection);
    });
}

void SessionBridge::hold() {
    ++mHeld;
}

void SessionBridge::release() {
    if (mHeld > 0)
        --mHeld;
    while (mHeld == 0 && !mWaiting.empty()) {
        const Stamped stamped = mWaiting.front();
        mWaiting.pop_front();
        deliver(stamped);
    }
}

void SessionBridge::forgetEvents() {
    ++mSessionEpoch;
    ++mPreviewEpoch;
}

void SessionBridge::forgetPreviewEvents() {
    ++mPreviewEpoch;
}

void SessionBridge::arrive(const Stamped& stamped) {
    if (mHeld > 0 || !mWaiting.empty()) {
        mWaiting.push_back(stamped);
        return;
    }
    deliver(stamped);
}

void SessionBridge::deliver(const Stamped& stamped) {
    if (stamped.sessionEpoch != mSessionEpoch.load())
        return;
    if (isPreviewEvent(stamped.event.type) && stamped.previewEpoch != mPreviewEpoch.load())
        return;
    emit sessionEvent(stamped.event);
}

}  // namespace velkaro
