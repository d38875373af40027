#pragma once

// The session tests' event recorder, test photographs and recording stand-ins for the methods.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DeblurMethods.h"
#include "ImageIO.h"
#include "Session.h"

using namespace velkaro;

using ET = SessionEventType;

namespace velkaro {
// Regions print as {x, y, w, h} in failure messages.
inline void PrintTo(const Region& r, std::ostream* out) {
    *out << "{" << r.x << ", " << r.y << ", " << r.w << ", " << r.h << "}";
}
}  // namespace velkaro

struct RecordedEvent {
    ET type;
    DeblurredEntry entry;
    std::thread::id thread;
    std::size_t previewsStored;  // the session's stored previews when the event was sent
    DeblurId id;
    DeblurProgressReport progress;
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

class EventRecorder {
  public:
    EventRecorder() = default;
    explicit EventRecorder(Session& session) { attach(session); }
    void attach(Session& session) {
        session.setEventHandler([this, &session](const SessionEvent& event) {
            // Asks the session as the window does: an event sent under its lock would hang here.
            const std::size_t previews = session.previewCount();
            std::lock_guard<std::mutex> guard(mMutex);
            (event.type == ET::DeblurProgress ? mProgress : mEvents)
                .push_back({event.type, event.entry, std::this_thread::get_id(), previews, event.id,
                            event.progress});
        });
    }
    // The events, or the progress reports (as many as time allows) kept apart from them.
    std::vector<RecordedEvent> events(bool progress = false) {
        std::lock_guard<std::mutex> guard(mMutex);
        return progress ? mProgress : mEvents;
    }
    int count(ET type) {
        const std::vector<RecordedEvent> all = events();
        return int(std::count_if(all.begin(), all.end(), [&](auto& e) { return e.type == type; }));
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mMutex);
        mEvents.clear();
        mProgress.clear();
    }
    // Waits for `n` events of the type, with a generous limit so that a fault fails, not hangs.
    bool waitFor(ET type, int n, double seconds = 60) {
        return eventually([&] { return count(type) >= n; }, seconds);
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
    std::mutex mMutex;
    std::vector<RecordedEvent> mEvents, mProgress;
};

inline void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

inline void expectEmpty(Session& s) {
    EXPECT_TRUE(!s.original());
    EXPECT_TRUE(!s.reconstructed());
    EXPECT_EQ(s.previewCount(), 0u);
    EXPECT_TRUE(s.isIdle());
}

// Resets; then the session is empty and nothing is reported, not even by work starting only now.
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

inline bool pixelsEqual(const ImageRef& a, const ImageRef& b) {
    return a && b && a->width() == b->width() && a->height() == b->height() &&
           std::memcmp(a->pixels(), b->pixels(), std::size_t(a->width()) * a->height() * 4) == 0;
}

// pixelsEqual for a test that expects equality: when the pixels differ, `got` is written to the
// output folder as "<suite>.<test>-got-<n>.png" (named in the log) so the failure can be looked at.
inline bool samePixels(const ImageRef& got, const ImageRef& expected) {
    if (pixelsEqual(got, expected))
        return true;
    if (got) {
        static int saved = 0;
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        const std::string path =
            testOutputPath(std::string(test ? test->test_suite_name() : "test") + "." +
                           (test ? test->name() : "") + "-got-" + std::to_string(++saved) + ".png");
        if (ImageIO::sharedInstance().writeImage(got, path))
            std::fprintf(stderr, "pixels differ: the image got is %s\n", path.c_str());
    }
    return false;
}

// The w × h pixels of chelsea.png at (x, y), written as a PNG to the output folder.
inline std::string chelseaCrop(const std::string& name, int x, int y, int w, int h) {
    const CImage full(ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png")));
    const std::string path = testOutputPath(name);
    ImageIO::sharedInstance().writeImage(CropImage(full, x, y, w, h).asImage(), path);
    return path;
}

// Stand-ins for the methods that record every call: they write input + 1 (or what `value` says)
// into the region's channel, can be held at a gate per step (radius × 2) or take a while (polling
// their stop flag, reporting progress), and told to fail write nothing and say so, as Wiener does
// when its helper is gone.

struct RecordedCall {
    DeblurMethod method;
    int channel;
    double radius, parameter;
    Region region;
};

struct RecordingState {
    std::mutex mutex;
    std::condition_variable gateChanged;
    std::vector<RecordedCall> calls;
    std::set<int> closedSteps;
    std::map<int, int> inside, atGate;       // step -> calls inside the stand-ins, at the gate
    std::atomic<int> maxConcurrentSteps{0};  // the most distinct steps inside at once
    std::atomic<int> delayMicroseconds{0};   // each call takes this long unless stopped
    std::atomic<bool> fail{false};           // calls write nothing and report a failure
    std::function<int(DeblurMethod, const MethodCall&, int)> value;  // for input v, when set
};

inline RecordingState& recording() {
    static RecordingState s;
    return s;
}

// Steps with a non-zero count.
inline int busySteps(const std::map<int, int>& counts) {
    return int(std::count_if(counts.begin(), counts.end(), [](auto& e) { return e.second > 0; }));
}

template <DeblurMethod M>
bool RecordingRun(const MethodCall& c) {
    RecordingState& s = recording();
    const int step = int(c.radius * 2 + 0.5);
    // The call's own copy: a test's end resets s.value while cells of the grid still compute.
    std::function<int(DeblurMethod, const MethodCall&, int)> value;
    {
        std::unique_lock<std::mutex> guard(s.mutex);
        value = s.value;
        s.calls.push_back({M, c.channel, c.radius, c.parameter, c.region});
        if (++s.inside[step] == 1)
            s.maxConcurrentSteps = std::max(s.maxConcurrentSteps.load(), busySteps(s.inside));
        ++s.atGate[step];
        // A gate a test forgets to open fails the test's own waits instead of hanging the run.
        s.gateChanged.wait_for(guard, std::chrono::seconds(60),
                               [&] { return !s.closedSteps.count(step); });
        --s.atGate[step];
    }
    // Leaves the step however the call ends: a test's value() may throw (no memory), and a step
    // left counted would be seen inside by every later test.
    struct Leave {
        RecordingState& s;
        int step;
        ~Leave() {
            std::lock_guard<std::mutex> guard(s.mutex);
            --s.inside[step];
        }
    } leave{s, step};
    for (int waited = 0; waited < s.delayMicroseconds && !StopRequested(c.cancel); waited += 200) {
        if (waited % 4000 == 0)
            ReportProgress(c.progress, 0.5, waited / 4000 + 1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const Region& r = c.region;
    for (int row = 0; row < r.h && !s.fail; ++row)
        for (int col = 0; col < r.w; ++col) {
            const int v =
                c.in.pixels()[(std::size_t(r.y + row) * c.in.width() + r.x + col) * 4 + c.channel];
            c.out.pixels()[(std::size_t(row) * r.w + col) * 4 + c.channel] =
                std::uint8_t(std::clamp(value ? value(M, c, v) : v + 1, 0, 255));
        }
    return !s.fail;
}

template <int... M>
DeblurMethods RecordingDeblurMethodsOf(std::integer_sequence<int, M...>) {
    DeblurMethods m = DefaultDeblurMethods();  // keeps DeblurMethod::None, the row of no method
    ((m.entries[M + 1] = {RecordingRun<DeblurMethod(M + 1)>,
                          [](const MethodCall&) { return std::int64_t(1000); }}),
     ...);
    return m;
}
inline DeblurMethods RecordingDeblurMethods() {
    return RecordingDeblurMethodsOf(std::make_integer_sequence<int, kDeblurMethodCount - 1>());
}

template <class F>
auto withRecording(F f) {
    std::lock_guard<std::mutex> guard(recording().mutex);
    return f(recording());
}
inline std::vector<RecordedCall> RecordedMethodCalls() {
    return withRecording([](RecordingState& s) { return s.calls; });
}
inline void ClearRecordedMethodCalls() {
    withRecording([](RecordingState& s) { s.calls.clear(), s.maxConcurrentSteps = 0; });
}
// Steps with a call held at the gate now.
inline int StepsAtGate() {
    return withRecording([](RecordingState& s) { return busySteps(s.atGate); });
}
inline void CloseMethodGate(int step) {
    withRecording([&](RecordingState& s) { s.closedSteps.insert(step); });
}
inline void OpenMethodGate() {
    withRecording([](RecordingState& s) { s.closedSteps.clear(); });
    recording().gateChanged.notify_all();
}
// Puts the stand-ins back when a test ends, however it ends: no delay, no `value`, the gate open.
struct RecordingReset {
    ~RecordingReset() {
        recording().delayMicroseconds = 0;
        withRecording([](RecordingState& s) { s.value = nullptr; });
        OpenMethodGate();
    }
};

// A session on a sample photograph whose methods are the recording stand-ins, its events recorded.
class RecordingSession : public ::testing::Test {
  protected:
    explicit RecordingSession(const char* photo) : mPhoto(photo) {}
    void SetUp() override {
        ASSERT_TRUE(session.loadImage(testDataPath(mPhoto)));
        session.setMethods(RecordingDeblurMethods());
        ClearRecordedMethodCalls();
        recorder.attach(session);
    }
    void TearDown() override {
        OpenMethodGate();
        session.waitUntilIdle();
    }
    const char* mPhoto;
    Session session;
    EventRecorder recorder;
};
