#pragma once

// Helpers shared by the session tests: an event recorder, and test photographs.

#include <gtest/gtest.h>

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

using namespace velkaro;

using ET = SessionEventType;

struct RecordedEvent {
    ET type;
    DeblurredEntry entry;
    std::thread::id thread;
    std::size_t previewsStored;  // the session's stored previews when the event was sent
    DeblurId id;
    DeblurProgressReport progress;
};

class EventRecorder {
  public:
    void attach(Session& session) {
        session.setEventHandler([this, &session](const SessionEvent& event) {
            // Asks the session as the window does: an event sent under the session's lock would
            // hang here.
            const std::size_t previews = session.previewCount();
            std::lock_guard<std::mutex> guard(mMutex);
            // Progress reports, as many as time allows, are kept apart from the other events.
            (event.type == ET::DeblurProgress ? mProgress : mEvents)
                .push_back({event.type, event.entry, std::this_thread::get_id(), previews, event.id,
                            event.progress});
            mChanged.notify_all();
        });
    }
    std::vector<RecordedEvent> events() {
        std::lock_guard<std::mutex> guard(mMutex);
        return mEvents;
    }
    int count(ET type) {
        std::lock_guard<std::mutex> guard(mMutex);
        return countLocked(type);
    }
    std::vector<RecordedEvent> progress() {
        std::lock_guard<std::mutex> guard(mMutex);
        return mProgress;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mMutex);
        mEvents.clear();
        mProgress.clear();
    }
    // Waits for `n` events of the type, with a generous limit so that a fault fails, not hangs.
    bool waitFor(ET type, int n, double seconds = 60) {
        std::unique_lock<std::mutex> guard(mMutex);
        return mChanged.wait_for(guard, std::chrono::duration<double>(seconds),
                                 [&] { return countLocked(type) >= n; });
    }
    // The event types of one radius step, in order.
    std::vector<ET> typesFor(int step) {
        std::vector<ET> out;
        for (const auto& e : events())
            if (e.entry.radiusStep == step)
                out.push_back(e.type);
        return out;
    }

  private:
    int countLocked(ET type) const {
        int n = 0;
        for (const auto& e : mEvents) n += e.type == type;
        return n;
    }

    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<RecordedEvent> mEvents, mProgress;
};

// Turns `predicate` until it holds, at most `seconds`.
template <class P>
bool eventually(P predicate, double seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline void expectEmpty(Session& s) {
    EXPECT_TRUE(!s.original() && !s.reconstructed());
    EXPECT_EQ(s.previewCount(), 0u);
    EXPECT_TRUE(s.isIdle());
}

// Resets, then checks that the session is empty and that nothing is reported afterwards, not
// even by deblurs submitted before that start only now.
inline void resetAndCheck(Session& s, EventRecorder& recorder) {
    s.reset();
    const std::size_t atReturn = recorder.events().size();
    expectEmpty(s);
    dispatchWaitIdle();
    EXPECT_EQ(recorder.events().size(), atReturn);
}

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
