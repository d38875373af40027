// clearPreviews, reset and loadImage while full deblurs and previews run, many times over: no
// crash, no event after reset returns, caches empty and counters 0. Also run under
// ThreadSanitizer (label "concurrency").

#include <gtest/gtest.h>

#include <random>

#include "RecordingMethods.h"
#include "SessionTestSupport.h"

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void expectQuiet(Session& s) {
    EXPECT_EQ(s.mRunningDeblurs + s.mRunningPreviews + s.mPreviewBatches, 0);
    EXPECT_FALSE(s.mStopDeblur);
    EXPECT_FALSE(s.mStopPreview);
}

// Full deblurs of any type, a preview batch, sometimes a stop, then a least-squares preview.
void startWork(Session& s, std::mt19937& rng, int round) {
    for (int i = 0, n = 1 + int(rng() % 3); i < n; ++i) {
        const DeblurType type = DeblurType(rng() % 27);
        const int step = 1 + int(rng() % 6);
        dispatchAsync(DispatchPriority::Default, [&s, type, step] {
            s.deblurStep(step, type, -1, 2.0f, step % 4 - 1, 0.5f, 0.3f);
        });
    }
    const Rect section{double(rng() % 100), double(rng() % 100), 128, 128};
    s.deblurPreviewAngleUpToStep(6, DeblurType(rng() % 22), -1, section);
    if (round % 3 == 0) s.stopPreview();
    s.deblurPreviewAngleStep(1 + int(rng() % 10), DeblurLA1, -1, section);
}

// Resets, then checks that the session is empty and that nothing is reported afterwards, not
// even by tasks submitted before that start only now.
void resetAndCheck(Session& s, EventRecorder& recorder) {
    s.reset();
    const std::size_t atReturn = recorder.events().size();
    {
        std::lock_guard<Lock> guard(s.mLock);
        EXPECT_TRUE(s.mDeblurredImages.empty());
        EXPECT_TRUE(s.mDeblurredPreviews.empty());
    }
    expectQuiet(s);
    EXPECT_EQ(s.mOriginalImage, nullptr);
    dispatchWaitIdle();
    EXPECT_EQ(recorder.events().size(), atReturn);
    expectQuiet(s);
}

}  // namespace

TEST(SessionConcurrency, LoadClearAndResetWhileWorkRuns) {
    Session s;
    EventRecorder recorder;
    recorder.attach(s);
    s.mMethods = RecordingDeblurMethods();  // kept across loads and resets
    std::mt19937 rng(12345);
    SetMethodDelayMicroseconds(300);
    const char* files[] = {"chelsea.png", "astronaut.png", "coffee.png"};
    for (int round = 0; round < 32; ++round) {
        ASSERT_TRUE(s.loadImage(testDataPath(files[round % 3])));
        startWork(s, rng, round);
        sleepMs(int(rng() % 15));
        if (round % 3 == 1) {  // another photograph while work runs
            ASSERT_TRUE(s.loadImage(testDataPath(files[(round + 1) % 3])));
            startWork(s, rng, round);
            sleepMs(int(rng() % 10));
        }
        if (round % 2 == 0) {
            s.clearPreviews();
            {
                std::lock_guard<Lock> guard(s.mLock);
                EXPECT_TRUE(s.mDeblurredPreviews.empty());
            }
            EXPECT_EQ(s.mRunningPreviews + s.mPreviewBatches, 0);
            EXPECT_FALSE(s.mStopPreview);
            startWork(s, rng, round);
            sleepMs(int(rng() % 10));
        }
        resetAndCheck(s, recorder);
    }
    SetMethodDelayMicroseconds(0);
    // Every full deblur's finish followed its start.
    std::map<DeblurredEntry, int> open;
    for (const auto& e : recorder.events()) {
        if (e.type == DeblurStarted) ++open[e.entry];
        if (e.type == DeblurFinished) {
            EXPECT_GT(open[e.entry]--, 0);
        }
    }
}

TEST(SessionConcurrency, ResetStopsARunningLeastSquaresDeblur) {
    Session s;
    EventRecorder recorder;
    recorder.attach(s);
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    s.mMethods = RecordingDeblurMethods();
    SetMethodDelayMicroseconds(5'000'000);  // would take 15 s unless the flag is polled
    dispatchAsync(DispatchPriority::Default, [&s] { s.deblurStep(3, DeblurLA2, -1, 0, -1, 0, 0); });
    ASSERT_TRUE(recorder.waitFor(DeblurStarted, 1));
    resetAndCheck(s, recorder);
    SetMethodDelayMicroseconds(0);
    EXPECT_EQ(recorder.count(DeblurFinished), 0);
}

TEST(SessionConcurrency, RealMethodsStopCleanly) {
    // The application's own methods (parallel loops, the FFT helper, the least-squares solver's
    // stop flag) on a small photograph, reset while they run.
    const std::string photo = chelseaCrop("session_concurrency_small.png", 170, 90, 96, 64);
    Session s;
    EventRecorder recorder;
    recorder.attach(s);
    std::mt19937 rng(99);
    const DeblurType types[] = {DeblurUSM3, DeblurUSMF2, DeblurWF2, DeblurWI2,           DeblurRL20,
                                DeblurRT20, DeblurLA1,   DeblurFR,  DeblurBlurSimulation};
    for (int round = 0; round < 6; ++round) {
        ASSERT_TRUE(s.loadImage(photo));
        for (int i = 0; i < 2; ++i) {
            const DeblurType type = types[rng() % 9];
            dispatchAsync(DispatchPriority::Default,
                          [&s, type] { s.deblurStep(3, type, -1, 2.0f, 1, 0.5f, 0.3f); });
        }
        s.deblurPreviewAngleUpToStep(4, types[rng() % 9], -1, Rect{10, 10, 64, 48});
        sleepMs(int(rng() % 40));
        if (round % 2) s.clearPreviews();
        resetAndCheck(s, recorder);
    }
}
