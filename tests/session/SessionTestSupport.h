#pragma once

// Helpers shared by the session tests: an event recorder for the callback, and test photographs.

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Session.h"

struct RecordedEvent {
    int type;
    DeblurredEntry entry;
    std::thread::id thread;
};

class EventRecorder {
public:
    void attach(Session& session) {
        session.mCallback = &EventRecorder::callback;
        session.mCallbackContext = this;
    }

    std::vector<RecordedEvent> events() {
        std::lock_guard<std::mutex> guard(mMutex);
        return mEvents;
    }
    int count(int type) {
        std::lock_guard<std::mutex> guard(mMutex);
        int n = 0;
        for (const auto& e : mEvents) n += e.type == type;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mMutex);
        mEvents.clear();
    }
    // Waits (up to a generous limit, so that a fault fails instead of hanging) for `n` events of
    // the type.
    bool waitFor(int type, int n, double seconds = 60) {
        std::unique_lock<std::mutex> guard(mMutex);
        return mChanged.wait_for(guard, std::chrono::duration<double>(seconds), [&] {
            int c = 0;
            for (const auto& e : mEvents) c += e.type == type;
            return c >= n;
        });
    }
    // Number of cached previews seen by each PreviewFinished event (read under the session's
    // lock, as the window controller does).
    std::vector<std::size_t> previewCountsAtFinish() {
        std::lock_guard<std::mutex> guard(mMutex);
        return mPreviewCounts;
    }

private:
    static void callback(Session* session, SessionEvent event, void* context) {
        auto* self = static_cast<EventRecorder*>(context);
        // Like the window controller, take the session's lock inside the callback: the lock is
        // not recursive, so an event sent while it is held would hang here.
        std::size_t previews;
        {
            std::lock_guard<Lock> sessionGuard(session->mLock);
            previews = session->mDeblurredPreviews.size();
        }
        std::lock_guard<std::mutex> guard(self->mMutex);
        if (event.eventType == PreviewFinished) self->mPreviewCounts.push_back(previews);
        self->mEvents.push_back({event.eventType, event.deblurredEntry, std::this_thread::get_id()});
        self->mChanged.notify_all();
    }

    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<RecordedEvent> mEvents;
    std::vector<std::size_t> mPreviewCounts;
};

inline std::string testDataPath(const char* name) {
    return std::string(VELKARO_TEST_DATA_DIR) + "/" + name;
}

inline std::string testOutputPath(const std::string& name) {
    const char* dir = std::getenv("VELKARO_TEST_OUTPUT_DIR");
    return std::string(dir ? dir : "/tmp") + "/" + name;
}
