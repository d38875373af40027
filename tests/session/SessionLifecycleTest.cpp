// loadImage, reset and destruction: the events they send and what they leave.

#include <gtest/gtest.h>

#include <fstream>

#include "SessionTestSupport.h"

using namespace velkaro;

TEST(SessionLifecycle, LoadSendsTwoEventsResetEmptiesAndDestructionWaitsForAQueuedStop) {
    Session s;
    expectEmpty(s);
    s.reset();  // on an empty session: returns at once

    EventRecorder rec;
    rec.attach(s);
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const auto events = rec.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].type == ET::OriginalLoaded && events[1].type == ET::ReconstructedLoaded);
    for (const auto& e : events) {
        EXPECT_EQ(e.entry.deblurType, DeblurNoType);
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    }
    // The original is the decoded file; the composite a separate, equal copy.
    ImageRef direct = ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png"));
    EXPECT_TRUE(samePixels(s.original()->asImage(), direct));
    EXPECT_NE(s.reconstructed()->pixels(), s.original()->pixels());
    EXPECT_TRUE(samePixels(s.reconstructed()->asImage(), direct));

    // A second load replaces everything (results included) and sends the pair again.
    s.deblur(DeblurredEntry{DeblurUSM1, 2, -1, {}});
    rec.clear();
    ASSERT_TRUE(s.loadImage(testDataPath("rocket.jpg")));
    EXPECT_EQ(rec.count(ET::OriginalLoaded) + rec.count(ET::ReconstructedLoaded), 2);
    EXPECT_EQ(s.reconstructed()->width(), 640);
    EXPECT_FALSE(s.deblurredImage(DeblurredEntry{DeblurUSM1, 2, -1, {}}));

    // Unreadable files leave the session empty and report nothing.
    const std::string garbage = testOutputPath("session_not_an_image.png");
    std::ofstream(garbage, std::ios::binary) << "\x89PNG\r\n\x1a\n this is not really a PNG";
    for (const std::string& path : {testDataPath("does_not_exist.png"), garbage,
                                    std::string(VELKARO_TEST_DATA_DIR), std::string("")}) {
        ASSERT_TRUE(s.loadImage(testDataPath("coffee.png")));
        rec.clear();
        EXPECT_FALSE(s.loadImage(path)) << path;
        EXPECT_TRUE(rec.events().empty()) << path;
        expectEmpty(s);
    }

    // Destroyed while loaded, with a stop still queued.
    auto loaded = std::make_unique<Session>();
    ASSERT_TRUE(loaded->loadImage(testDataPath("astronaut.png")));
    loaded->stopPreview();  // leaves a block on the queue
    loaded.reset();
}
