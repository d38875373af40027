#pragma once

// Helpers shared by the session tests: an event recorder for the callback, and test photographs.

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ImageIO.h"
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
        return countLocked(type);
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mMutex);
        mEvents.clear();
    }
    // Waits for `n` events of the type, with a generous limit so that a fault fails, not hangs.
    bool waitFor(int type, int n, double seconds = 60) {
        std::unique_lock<std::mutex> guard(mMutex);
        return mChanged.wait_for(guard, std::chrono::duration<double>(seconds),
                                 [&] { return countLocked(type) >= n; });
    }
    // The number of cached previews each PreviewFinished saw.
    std::vector<std::size_t> previewCountsAtFinish() {
        std::lock_guard<std::mutex> guard(mMutex);
        return mPreviewCounts;
    }

private:
    int countLocked(int type) const {
        int n = 0;
        for (const auto& e : mEvents) n += e.type == type;
        return n;
    }
    static void callback(Session* session, SessionEvent event, void* context) {
        auto* self = static_cast<EventRecorder*>(context);
        // Takes the session's (non-recursive) lock as the window controller does: an event sent
        // while it is held would hang here.
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

inline bool samePixels(const ImageRef& a, const ImageRef& b) {
    return a && b && a->width() == b->width() && a->height() == b->height() &&
           std::memcmp(a->pixels(), b->pixels(), std::size_t(a->width()) * a->height() * 4) == 0;
}

// The w × h pixels of chelsea.png at (x, y), written as a PNG to the output folder.
inline std::string chelseaCrop(const std::string& name, int x, int y, int w, int h) {
    ImageRef full = ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png"));
    ImageRef crop = Image::create(w, h);
    for (int row = 0; row < h; ++row)
        std::memcpy(crop->pixels() + std::size_t(row) * w * 4,
                    full->pixels() + (std::size_t(row + y) * full->width() + x) * 4,
                    std::size_t(w) * 4);
    const std::string path = testOutputPath(name);
    ImageIO::sharedInstance().writeImage(crop, path);
    return path;
}
