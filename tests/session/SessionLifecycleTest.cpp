// Construction, loadImage, reset and destruction: the events they send and what they leave.

#include <gtest/gtest.h>

#include <fstream>

#include "SessionTestSupport.h"

namespace {

void expectEmpty(Session& s) {
    EXPECT_TRUE(!s.mOriginalImage && !s.mReconstructedImage && !s.mBrushBase && !s.mBrushWeights);
    std::lock_guard<Lock> guard(s.mLock);
    EXPECT_TRUE(s.mDeblurredImages.empty() && s.mDeblurredPreviews.empty());
    EXPECT_TRUE(!s.mStopDeblur && !s.mStopPreview);
    EXPECT_EQ(s.mRunningDeblurs + s.mRunningPreviews + s.mPreviewBatches, 0);
}

// A photograph with a brush stroke open and an entry in each cache.
void busy(Session& s, const char* photo) {
    ASSERT_TRUE(s.loadImage(testDataPath(photo)));
    s.startBrush();
    std::lock_guard<Lock> guard(s.mLock);
    s.mDeblurredImages[DeblurredEntry{DeblurRL40, 6, -1, {}}] = PixelPack::pack(Image(3, 2));
    s.mDeblurredPreviews[DeblurredEntry{DeblurUSM1, 1, -1, {}}] = PixelPack::pack(Image(3, 2));
}

}  // namespace

TEST(SessionLifecycle, LoadSendsTwoEventsOnTheCallersThreadAndResetEmpties) {
    Session s;
    expectEmpty(s);
    ASSERT_TRUE(s.mPreviewQueue);
    EXPECT_EQ(s.mPreviewQueue->name(), "preview");
    s.reset();  // on an empty session: returns at once

    EventRecorder rec;
    rec.attach(s);
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const auto events = rec.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].type == OriginalLoaded && events[1].type == ReconstructedLoaded);
    for (const auto& e : events) {
        EXPECT_TRUE(SameDeblurredEntry(e.entry, EmptyDeblurredEntry()) && e.entry.deblurType == DeblurNoType);
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    }
    // The original is the decoded file; the composite a separate, equal copy.
    ImageRef direct = ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png"));
    EXPECT_TRUE(samePixels(s.mOriginalImage->asImage(), direct));
    EXPECT_NE(s.mReconstructedImage->pixels(), s.mOriginalImage->pixels());
    EXPECT_TRUE(samePixels(s.mReconstructedImage->asImage(), direct));

    // A second load replaces everything and sends the pair again.
    busy(s, "chelsea.png");
    rec.clear();
    ASSERT_TRUE(s.loadImage(testDataPath("rocket.jpg")));
    EXPECT_EQ(rec.count(OriginalLoaded) + rec.count(ReconstructedLoaded), 2);
    EXPECT_TRUE(s.mReconstructedImage->width() == 640 && !s.mBrushBase && s.mDeblurredImages.empty());

    // Reset empties everything, reports nothing, and the session loads again afterwards.
    busy(s, "coffee.png");
    rec.clear();
    s.reset();
    expectEmpty(s);
    EXPECT_TRUE(rec.events().empty());
    EXPECT_TRUE(s.loadImage(testDataPath("coffee.png")));
}

TEST(SessionLifecycle, UnreadableFilesLeaveTheSessionEmpty) {
    const std::string garbage = testOutputPath("session_not_an_image.png");
    std::ofstream(garbage, std::ios::binary) << "\x89PNG\r\n\x1a\n this is not really a PNG stream";
    for (const std::string& path : {testDataPath("does_not_exist.png"), garbage,
                                    std::string(VELKARO_TEST_DATA_DIR), std::string("")}) {
        Session s;
        EventRecorder rec;
        busy(s, "chelsea.png");
        rec.attach(s);
        EXPECT_FALSE(s.loadImage(path)) << path;
        EXPECT_TRUE(rec.events().empty()) << path;
        expectEmpty(s);
    }
}

TEST(SessionLifecycle, DestructionOfALoadedSessionWithAQueuedStop) {
    auto s = std::make_unique<Session>();
    ASSERT_TRUE(s->loadImage(testDataPath("astronaut.png")));
    s->stopPreview();  // leaves a block on the queue
    s.reset();
}
