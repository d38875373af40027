// Full deblurs: the task layer's events and counters, the cache, masking and fetching.

#include <gtest/gtest.h>

#include "ImageProcess.h"
#include "RecordingMethods.h"
#include "SessionTestSupport.h"

namespace {

class SessionDeblur : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.loadImage(testDataPath("chelsea.png")));  // 451 × 300
        session.mMethods = RecordingDeblurMethods();
        ClearRecordedMethodCalls();
        recorder.attach(session);
    }
    // Runs the task layer on a worker, as the window controller does, and waits for it.
    void runTask(int step, DeblurType type, int angle = -1, float maskRadius = 0, int maskType = -1,
                 float opacity = 0, float crudeness = 0) {
        dispatchAsync(DispatchPriority::Default, [=, this] {
            session.deblurStep(step, type, angle, maskRadius, maskType, opacity, crudeness);
        });
        dispatchWaitIdle();
    }
    // What the stand-ins make: input + 1 in every colour channel.
    ImageRef plainResult() {
        ImageRef expected = session.mOriginalImage->asImage()->copy();
        for (std::size_t i = 0; i < std::size_t(451) * 300 * 4; ++i)
            if (i % 4) expected->pixels()[i] = std::uint8_t(std::min(expected->pixels()[i] + 1, 255));
        return expected;
    }
    std::size_t cached() {
        std::lock_guard<Lock> guard(session.mLock);
        return session.mDeblurredImages.size();
    }
    Session session;
    EventRecorder recorder;
};

}  // namespace

TEST_F(SessionDeblur, StartedThenFinishedFromAWorkerAndTheMaskedResultIsStored) {
    recorder.clear();
    runTask(4, DeblurRL40, -1, 3.0f, 1, 0.5f, 0.5f);
    const DeblurredEntry key{DeblurRL40, 4, -1, {1, 3.0f, 0.5f, 0.5f}};
    auto events = recorder.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, DeblurStarted);
    EXPECT_EQ(events[1].type, DeblurFinished);
    for (const auto& e : events) {
        EXPECT_NE(e.thread, std::this_thread::get_id());
        EXPECT_TRUE(SameDeblurredEntry(e.entry, key) && e.entry.maskSettings.type == 1);
    }
    EXPECT_EQ(session.mRunningDeblurs, 0);
    // The memory estimate, then three channels over the whole photograph, in sequence.
    const auto calls = RecordedMethodCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].method, "deconvolve_lucy_richard_mem_usage");
    for (int c = 0; c < 3; ++c)
        EXPECT_TRUE(calls[c + 1].channel == c + 1 && calls[c + 1].x == 0 && calls[c + 1].y == 0 &&
                    calls[c + 1].w == 451 && calls[c + 1].h == 300);
    // The stored image is the method's output with the mask applied; every fetch a fresh decode.
    ImageRef expected = plainResult();
    CreateMask(session.mOriginalImage->asImage(), expected, 0, 0, 451, 300, 1, 0, 3.0f, 0.5f, 0.5f);
    ImageRef stored = session.deblurredImage(key);
    EXPECT_TRUE(samePixels(stored, expected));
    ImageRef again = session.deblurredImage(key);
    EXPECT_NE(again.get(), stored.get());
    EXPECT_TRUE(samePixels(again, stored));
    // Another mask float is another key; without a mask the floats do not count.
    EXPECT_FALSE(session.deblurredImage(DeblurredEntry{DeblurRL40, 4, -1, {1, 3.0f, 0.5f, 0.25f}}));
    runTask(3, DeblurUSM2, -1, 5.0f);
    EXPECT_TRUE(session.deblurredImage(DeblurredEntry{DeblurUSM2, 3, -1, {-1, 1, 2, 3}}));
    EXPECT_FALSE(session.deblurredImage(DeblurredEntry{DeblurUSM2, 3, 0, {}}));

    // Computing the same again keeps one entry and sends a second pair.
    recorder.clear();
    runTask(4, DeblurRL40, -1, 3.0f, 1, 0.5f, 0.5f);
    events = recorder.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].type == DeblurStarted && events[1].type == DeblurFinished);
    EXPECT_EQ(cached(), 2u);
}

TEST_F(SessionDeblur, ManyAtOnceEachGetsItsPairInOrder) {
    recorder.clear();
    for (int step = 1; step <= 8; ++step)
        dispatchAsync(DispatchPriority::Default, [this, step] {
            session.deblurStep(step, DeblurType(step % 22), -1, 0, -1, 0, 0);
        });
    dispatchWaitIdle();
    const auto events = recorder.events();
    ASSERT_EQ(events.size(), 16u);
    for (int step = 1; step <= 8; ++step) {
        int started = -1, finished = -1;
        for (int i = 0; i < 16; ++i)
            if (events[i].entry.radiusStep == step)
                (events[i].type == DeblurStarted ? started : finished) = i;
        ASSERT_GE(started, 0);
        EXPECT_LT(started, finished) << step;
    }
    EXPECT_EQ(cached(), 8u);
    EXPECT_EQ(session.mRunningDeblurs, 0);
}

TEST_F(SessionDeblur, StoppedOrResetTasksEndQuietly) {
    recorder.clear();
    session.mStopDeblur = true;
    runTask(2, DeblurRL20);
    // The computing layer leaves its result null when stopped.
    PixelPackRef packed;
    session.deblurStep(2, DeblurRL20, -1, 0, -1, 0, 0, packed);
    EXPECT_FALSE(packed);
    session.mStopDeblur = false;
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_TRUE(RecordedMethodCalls().empty());
    EXPECT_EQ(cached(), 0u);

    // Otherwise it holds the result, packed as the cache holds it.
    session.deblurStep(2, DeblurRL20, -1, 0, -1, 0, 0, packed);
    ASSERT_TRUE(packed);
    EXPECT_TRUE(samePixels(packed->unpack(), plainResult()));

    session.reset();
    recorder.clear();
    runTask(2, DeblurRL20);
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_EQ(session.mRunningDeblurs, 0);
    EXPECT_EQ(cached(), 0u);
}
