#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "ImageIO.h"
#include "SessionTestSupport.h"

namespace {

void expectEmptyEntry(const DeblurredEntry& e) {
    EXPECT_EQ(e.deblurType, DeblurNoType);
    EXPECT_EQ(e.radiusStep, 0);
    EXPECT_EQ(e.angle, -1);
    EXPECT_EQ(e.maskSettings.type, -1);
}

void expectEmpty(Session& s) {
    EXPECT_EQ(s.mOriginalImage, nullptr);
    EXPECT_EQ(s.mReconstructedImage, nullptr);
    EXPECT_EQ(s.mBrushBase, nullptr);
    EXPECT_EQ(s.mBrushWeights, nullptr);
    std::lock_guard<Lock> guard(s.mLock);
    EXPECT_TRUE(s.mDeblurredImages.empty());
    EXPECT_TRUE(s.mDeblurredPreviews.empty());
    EXPECT_FALSE(s.mStopDeblur);
    EXPECT_FALSE(s.mStopPreview);
    EXPECT_EQ(s.mRunningDeblurs, 0);
    EXPECT_EQ(s.mRunningPreviews, 0);
    EXPECT_EQ(s.mPreviewBatches, 0);
}

}  // namespace

TEST(SessionLifecycle, ConstructedEmpty) {
    Session s;
    expectEmpty(s);
    EXPECT_EQ(s.mCallback, nullptr);
    EXPECT_EQ(s.mCallbackContext, nullptr);
    ASSERT_TRUE(s.mPreviewQueue);
    EXPECT_EQ(s.mPreviewQueue->name(), "preview");
    s.reset();  // on an empty session: returns at once
    expectEmpty(s);
}

TEST(SessionLifecycle, LoadSendsTwoEventsOnTheCallersThread) {
    Session s;
    EventRecorder rec;
    rec.attach(s);
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const auto events = rec.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, OriginalLoaded);
    EXPECT_EQ(events[1].type, ReconstructedLoaded);
    for (const auto& e : events) {
        expectEmptyEntry(e.entry);
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    }

    ASSERT_TRUE(s.mOriginalImage && s.mReconstructedImage);
    EXPECT_EQ(s.mOriginalImage->width(), 451);
    EXPECT_EQ(s.mOriginalImage->height(), 300);
    // The composite is a separate copy of the (opaque) original.
    const std::size_t bytes = std::size_t(451) * 300 * 4;
    EXPECT_NE(s.mReconstructedImage->pixels(), s.mOriginalImage->pixels());
    EXPECT_EQ(std::memcmp(s.mReconstructedImage->pixels(), s.mOriginalImage->pixels(), bytes), 0);
    for (std::size_t i = 0; i < bytes; i += 4) ASSERT_EQ(s.mOriginalImage->pixels()[i], 255);
    // The original is the decoded file.
    ImageRef direct = ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png"));
    ASSERT_TRUE(direct);
    EXPECT_EQ(std::memcmp(direct->pixels(), s.mOriginalImage->pixels(), bytes), 0);

    // A second load replaces everything and sends the pair again.
    rec.clear();
    ASSERT_TRUE(s.loadImage(testDataPath("rocket.jpg")));
    EXPECT_EQ(rec.count(OriginalLoaded), 1);
    EXPECT_EQ(rec.count(ReconstructedLoaded), 1);
    EXPECT_EQ(s.mOriginalImage->width(), 640);
    EXPECT_EQ(s.mReconstructedImage->height(), 427);
}

TEST(SessionLifecycle, LoadWithoutCallbackWorks) {
    Session s;
    EXPECT_TRUE(s.loadImage(testDataPath("coffee.png")));
    EXPECT_EQ(s.mOriginalImage->width(), 600);
}

TEST(SessionLifecycle, UnreadableFilesLeaveTheSessionEmpty) {
    const std::string garbage = testOutputPath("session_not_an_image.png");
    {
        std::ofstream out(garbage, std::ios::binary);
        out << "\x89PNG\r\n\x1a\n this is not really a PNG stream";
    }
    for (const std::string& path :
         {testDataPath("does_not_exist.png"), testDataPath("truncated.jpg"), garbage,
          std::string(VELKARO_TEST_DATA_DIR), std::string("")}) {
        Session s;
        EventRecorder rec;
        rec.attach(s);
        ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
        {
            std::lock_guard<Lock> guard(s.mLock);
            s.mDeblurredImages[DeblurredEntry{DeblurRL40, 6, -1, {}}] =
                std::make_shared<ByteBuffer>(10, 1);
            s.mDeblurredPreviews[DeblurredEntry{DeblurUSM1, 1, -1, {}}] =
                std::make_shared<ByteBuffer>(10, 1);
        }
        rec.clear();
        const bool loaded = s.loadImage(path);
        if (path.find("truncated") != std::string::npos && loaded) {
            // A truncated JPEG may still decode (the tail grey); that is not a failure.
            continue;
        }
        EXPECT_FALSE(loaded) << path;
        EXPECT_EQ(rec.events().size(), 0u) << path;
        expectEmpty(s);
    }
}

TEST(SessionLifecycle, ResetEmptiesEverything) {
    Session s;
    EventRecorder rec;
    rec.attach(s);
    ASSERT_TRUE(s.loadImage(testDataPath("astronaut.png")));
    s.startBrush();
    ASSERT_TRUE(s.mBrushBase);
    {
        std::lock_guard<Lock> guard(s.mLock);
        s.mDeblurredImages[DeblurredEntry{DeblurWF2, 3, -1, {}}] = std::make_shared<ByteBuffer>(4);
        s.mDeblurredPreviews[DeblurredEntry{DeblurWF2, 3, -1, {}}] = std::make_shared<ByteBuffer>(4);
    }
    rec.clear();
    s.reset();
    expectEmpty(s);
    EXPECT_EQ(rec.events().size(), 0u);  // reset reports nothing
    // The session can be loaded again afterwards.
    EXPECT_TRUE(s.loadImage(testDataPath("astronaut.png")));
}

TEST(SessionLifecycle, DestructionOfALoadedSession) {
    auto s = std::make_unique<Session>();
    ASSERT_TRUE(s->loadImage(testDataPath("astronaut.png")));
    s->stopPreview();  // leaves a block on the queue
    s.reset();
    SUCCEED();
}
