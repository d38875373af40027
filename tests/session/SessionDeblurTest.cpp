// Full deblurs: the task layer's events and counters, the cache, masking and fetching.

#include <gtest/gtest.h>

#include <cstring>

#include "ImageIO.h"
#include "ImageProcess.h"
#include "RecordingMethods.h"
#include "SessionTestSupport.h"

namespace {

class SessionDeblur : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.loadImage(testDataPath("chelsea.png")));
        session.mMethods = RecordingDeblurMethods();
        ClearRecordedMethodCalls();
        recorder.attach(session);
    }
    // Runs the task layer on a worker, as the window controller does, and waits for it.
    void runTask(int step, DeblurType type, int angle, float maskRadius, int maskType,
                 float opacity, float crudeness) {
        dispatchAsync(DispatchPriority::Default, [=, this] {
            session.deblurStep(step, type, angle, maskRadius, maskType, opacity, crudeness);
        });
        dispatchWaitIdle();
    }
    // The stand-ins write input + 1 into every channel of the region.
    ImageRef plainResult() {
        ImageRef expected = session.mOriginalImage->asImage()->copy();
        std::uint8_t* p = expected->pixels();
        for (std::size_t i = 0; i < std::size_t(451) * 300 * 4; ++i)
            if (i % 4) p[i] = std::uint8_t(std::min(p[i] + 1, 255));
        return expected;
    }
    static bool samePixels(const ImageRef& a, const ImageRef& b) {
        return a && b && a->width() == b->width() && a->height() == b->height() &&
               std::memcmp(a->pixels(), b->pixels(), std::size_t(a->width()) * a->height() * 4) == 0;
    }
    Session session;
    EventRecorder recorder;
};

}  // namespace

TEST_F(SessionDeblur, StartedThenFinishedFromAWorkerAndTheResultIsStored) {
    recorder.clear();
    runTask(4, DeblurRL40, -1, 3.0f, 1, 0.5f, 0.5f);
    const auto events = recorder.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, DeblurStarted);
    EXPECT_EQ(events[1].type, DeblurFinished);
    for (const auto& e : events) {
        EXPECT_NE(e.thread, std::this_thread::get_id());
        EXPECT_EQ(e.entry.deblurType, DeblurRL40);
        EXPECT_EQ(e.entry.radiusStep, 4);
        EXPECT_EQ(e.entry.angle, -1);
        EXPECT_EQ(e.entry.maskSettings.type, 1);
        EXPECT_EQ(e.entry.maskSettings.radius, 3.0f);
        EXPECT_EQ(e.entry.maskSettings.opacity, 0.5f);
        EXPECT_EQ(e.entry.maskSettings.crudeness, 0.5f);
    }
    EXPECT_EQ(session.mRunningDeblurs, 0);
    // Three channels over the whole photograph, in sequence.
    const auto calls = RecordedMethodCalls();
    ASSERT_EQ(calls.size(), 3u);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(calls[c].channel, c + 1);
        EXPECT_EQ(calls[c].x, 0);
        EXPECT_EQ(calls[c].y, 0);
        EXPECT_EQ(calls[c].w, 451);
        EXPECT_EQ(calls[c].h, 300);
    }
    // The stored image is the method's output with the mask applied.
    ImageRef expected = plainResult();
    CreateMask(session.mOriginalImage->asImage(), expected, 0, 0, 451, 300, 1, 0, 3.0f, 0.5f, 0.5f);
    ImageRef stored = session.deblurredImage(events[1].entry);
    EXPECT_TRUE(samePixels(stored, expected));
    // Every fetch decodes a fresh image.
    ImageRef again = session.deblurredImage(events[1].entry);
    EXPECT_NE(again.get(), stored.get());
    EXPECT_TRUE(samePixels(again, stored));
    // Another mask float is another key; never computed: null.
    DeblurredEntry other = events[1].entry;
    other.maskSettings.crudeness = 0.25f;
    EXPECT_EQ(session.deblurredImage(other), nullptr);
}

TEST_F(SessionDeblur, OpacityZeroStoresThePlainOutputForEveryMaskType) {
    const ImageRef expected = plainResult();
    for (int maskType : {-1, 0, 1, 2}) {
        runTask(2, DeblurWF2, -1, 2.0f, maskType, 0.0f, 0.3f);
        DeblurredEntry e{DeblurWF2, 2, -1, {maskType, 2.0f, 0.0f, 0.3f}};
        EXPECT_TRUE(samePixels(session.deblurredImage(e), expected)) << maskType;
    }
}

TEST_F(SessionDeblur, MaskTypeMinusOneFindsTheResultWhateverTheFloats) {
    runTask(3, DeblurUSM2, -1, 5.0f, -1, 0.0f, 0.0f);
    EXPECT_TRUE(session.deblurredImage(DeblurredEntry{DeblurUSM2, 3, -1, {-1, 1, 2, 3}}));
    EXPECT_FALSE(session.deblurredImage(DeblurredEntry{DeblurUSM2, 3, -1, {0, 5.0f, 0, 0}}));
    EXPECT_FALSE(session.deblurredImage(DeblurredEntry{DeblurUSM2, 3, 0, {-1, 0, 0, 0}}));
    EXPECT_FALSE(session.deblurredImage(DeblurredEntry{DeblurUSM2, 4, -1, {-1, 0, 0, 0}}));
}

TEST_F(SessionDeblur, ComputingTwiceKeepsOneEntryAndSendsTwoPairs) {
    recorder.clear();
    runTask(5, DeblurFR, -1, 0, -1, 0, 0);
    runTask(5, DeblurFR, -1, 0, -1, 0, 0);
    const auto events = recorder.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].type, DeblurStarted);
    EXPECT_EQ(events[1].type, DeblurFinished);
    EXPECT_EQ(events[2].type, DeblurStarted);
    EXPECT_EQ(events[3].type, DeblurFinished);
    std::lock_guard<Lock> guard(session.mLock);
    EXPECT_EQ(session.mDeblurredImages.size(), 1u);
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
        for (int i = 0; i < 16; ++i) {
            if (events[i].entry.radiusStep != step) continue;
            (events[i].type == DeblurStarted ? started : finished) = i;
        }
        ASSERT_GE(started, 0);
        EXPECT_LT(started, finished) << step;
    }
    std::lock_guard<Lock> guard(session.mLock);
    EXPECT_EQ(session.mDeblurredImages.size(), 8u);
    EXPECT_EQ(session.mRunningDeblurs, 0);
}

TEST_F(SessionDeblur, ATaskStartingWhileStoppedDoesNothing) {
    recorder.clear();
    session.mStopDeblur = true;
    runTask(2, DeblurRL20, -1, 0, -1, 0, 0);
    session.mStopDeblur = false;
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_EQ(session.mRunningDeblurs, 0);
    EXPECT_TRUE(RecordedMethodCalls().empty());
}

TEST_F(SessionDeblur, ATaskStartingAfterResetEndsQuietly) {
    session.reset();
    recorder.clear();
    runTask(2, DeblurRL20, -1, 0, -1, 0, 0);
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_EQ(session.mRunningDeblurs, 0);
    std::lock_guard<Lock> guard(session.mLock);
    EXPECT_TRUE(session.mDeblurredImages.empty());
}

TEST_F(SessionDeblur, TypesWithoutAMethodStoreWhiteMasked) {
    for (DeblurType type : {DeblurEffect, DeblurUnassigned}) {
        testing::internal::CaptureStdout();
        runTask(1, type, -1, 0, -1, 0, 0);
        fflush(stdout);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("bad deblur type\n"), std::string::npos);
        ImageRef stored = session.deblurredImage(DeblurredEntry{type, 1, -1, {}});
        ASSERT_TRUE(stored);
        for (std::size_t i = 0; i < std::size_t(451) * 300 * 4; ++i)
            ASSERT_EQ(stored->pixels()[i], 255);
    }
}

TEST_F(SessionDeblur, BlurSimulationLogsWithoutPrefix) {
    testing::internal::CaptureStdout();
    runTask(1, DeblurBlurSimulation, -1, 0, -1, 0, 0);
    fflush(stdout);
        const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find("blurring with radius 0.50\n"), 0u);
    EXPECT_NE(log.find("Convolving for channel 1 radius 0.5 angle -1 [0 0 451 300]\n"),
              std::string::npos);
    EXPECT_EQ(log.find("deblurring"), std::string::npos);
}

TEST_F(SessionDeblur, ComputingLayerLeavesTheBufferEmptyWhenStopped) {
    ByteBuffer buffer;
    session.mStopDeblur = true;
    session.deblurStep(2, DeblurRL20, -1, 0, -1, 0, 0, buffer);
    session.mStopDeblur = false;
    EXPECT_TRUE(buffer.empty());
    session.deblurStep(2, DeblurRL20, -1, 0, -1, 0, 0, buffer);
    ASSERT_FALSE(buffer.empty());
    // The buffer is a PNG stream (cache entries are PNG-encoded).
    const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    EXPECT_EQ(std::memcmp(buffer.data(), signature, 8), 0);
}
