// Preview scheduling: batches, the throttle of three, stopping, clearing, section clamping and the
// masked fetch.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>

#include "RecordingMethods.h"
#include "SessionTestSupport.h"

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits for the session's queue and workers to go idle.
void waitIdle(Session& s) {
    for (int i = 0; i < 6000 && (s.mPreviewBatches.load() || s.mRunningPreviews.load()); ++i)
        sleepMs(10);
    dispatchWaitIdle();
}

class SessionPreview : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.loadImage(testDataPath("coffee.png")));  // 600 × 400
        session.mMethods = RecordingDeblurMethods();
        ClearRecordedMethodCalls();
        OpenMethodGateForAll();
        recorder.attach(session);
        recorder.clear();
    }
    void TearDown() override {
        OpenMethodGateForAll();
        waitIdle(session);
    }
    std::vector<RecordedEvent> eventsFor(int step) {
        std::vector<RecordedEvent> out;
        for (const auto& e : recorder.events())
            if (e.entry.radiusStep == step) out.push_back(e);
        return out;
    }
    void waitUntilThreeRun() {
        for (int i = 0; i < 3000 && session.mRunningPreviews.load() < 3; ++i) sleepMs(10);
        ASSERT_EQ(session.mRunningPreviews, 3);
    }
    Session session;
    EventRecorder recorder;
    const Rect section{50, 60, 256, 200};
};

}  // namespace

TEST_F(SessionPreview, BatchOfFifteenStartsAndFinishesEachStep) {
    session.deblurPreviewAngleUpToStep(15, DeblurRL20, -1, section);
    ASSERT_TRUE(recorder.waitFor(PreviewFinished, 15));
    waitIdle(session);
    for (int step = 1; step <= 15; ++step) {
        const auto events = eventsFor(step);
        ASSERT_EQ(events.size(), 2u) << step;
        EXPECT_EQ(events[0].type, PreviewStarted);
        EXPECT_EQ(events[1].type, PreviewFinished);
        for (const auto& e : events) {
            EXPECT_TRUE(SameDeblurredEntry(e.entry, DeblurredEntry{DeblurRL20, step, -1, {}}));
            EXPECT_NE(e.thread, std::this_thread::get_id());
        }
        EXPECT_TRUE(session.deblurredPreviewIsDone(events[1].entry));
    }
    // Each finish was sent after its result was stored.
    auto counts = recorder.previewCountsAtFinish();
    std::sort(counts.begin(), counts.end());
    for (std::size_t i = 0; i < counts.size(); ++i) EXPECT_GE(counts[i], i + 1);
    EXPECT_EQ(session.mPreviewBatches + session.mRunningPreviews, 0);
    // Three channels per step, each over the section (it lies inside: unclamped).
    const auto calls = RecordedMethodCalls();
    EXPECT_EQ(calls.size(), 45u);
    for (const auto& c : calls)
        EXPECT_TRUE(c.x == 50 && c.y == 60 && c.w == 256 && c.h == 200 && c.outWidth == 256);

    // Asking again computes and reports nothing: every entry is cached.
    recorder.clear();
    ClearRecordedMethodCalls();
    session.deblurPreviewAngleUpToStep(15, DeblurRL20, -1, section);
    waitIdle(session);
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_TRUE(RecordedMethodCalls().empty());
}

TEST_F(SessionPreview, AngleSweepQueuesStepMajorRequests) {
    session.deblurPreviewUpToStep(2, DeblurWF2, section);
    ASSERT_TRUE(recorder.waitFor(PreviewFinished, 36));
    waitIdle(session);
    std::set<std::pair<int, int>> seen;
    for (const auto& e : recorder.events()) {
        if (e.type != PreviewFinished) continue;
        EXPECT_TRUE(e.entry.angle % 10 == 0 && e.entry.angle >= 0 && e.entry.angle <= 170);
        seen.insert({e.entry.radiusStep, e.entry.angle});
    }
    EXPECT_EQ(seen.size(), 36u);
    EXPECT_EQ(recorder.count(PreviewStarted), 36);
    EXPECT_EQ(recorder.events().size(), 72u);
    // All of step 1 are handed out before any of step 2: the first start of step 2 follows at
    // least 16 of step 1 (three may still be computing).
    int step1Started = 0;
    for (const auto& e : recorder.events()) {
        if (e.type != PreviewStarted) continue;
        if (e.entry.radiusStep == 2) break;
        ++step1Started;
    }
    EXPECT_GE(step1Started, 16);
}

TEST_F(SessionPreview, SectionsAreClampedToThePhotograph) {
    Session big;
    big.mMethods = RecordingDeblurMethods();
    big.mOriginalImage = std::make_unique<CImage>(Image::create(1000, 800));
    const std::pair<Rect, std::array<int, 4>> cases[] = {
        {{900, 700, 512, 512}, {900, 700, 100, 100}},   // runs off the far sides
        {{-20, -5, 512, 512}, {0, 0, 512, 512}},        // starts before the image
        {{1200, 0, 512, 512}, {999, 0, 1, 512}},        // starts past the right edge
        {{10.7, 0, 0, 0}, {10, 0, 1, 1}},               // empty: one pixel
        {{0.9, 799.5, 3000, -4}, {0, 799, 1000, 1}},
    };
    int step = 1;
    for (const auto& [in, want] : cases) {
        ClearRecordedMethodCalls();
        big.deblurPreviewAngleStep(step, DeblurUSMF1, -1, in);
        waitIdle(big);
        {
            std::lock_guard<Lock> guard(big.mLock);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), big.mPreviewSection)) << step;
        }
        const auto calls = RecordedMethodCalls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_TRUE(calls[0].x == want[0] && calls[0].y == want[1] && calls[0].w == want[2] &&
                    calls[0].h == want[3]) << step;
        ImageRef p = big.deblurredPreview(DeblurredEntry{DeblurUSMF1, step, -1, {}}, 0, -1, 0, 0);
        ASSERT_TRUE(p);
        EXPECT_TRUE(p->width() == want[2] && p->height() == want[3]) << step;
        ++step;
    }
}

TEST_F(SessionPreview, AFourthStepWaitsForOneOfThree) {
    CloseMethodGate({1, 2, 3, 4, 5});
    session.deblurPreviewAngleUpToStep(5, DeblurRL40, -1, section);
    waitUntilThreeRun();
    sleepMs(450);  // several of the queue's 100 ms looks
    EXPECT_EQ(session.mRunningPreviews, 3);
    EXPECT_TRUE(eventsFor(4).empty());
    EXPECT_LE(recorder.count(PreviewStarted), 3);

    // When the first step finishes the fourth is handed out, and the fifth still waits.
    OpenMethodGate(1);
    ASSERT_TRUE(recorder.waitFor(PreviewFinished, 1));
    sleepMs(350);
    EXPECT_EQ(session.mRunningPreviews, 3);  // steps 2, 3 and 4
    EXPECT_EQ(recorder.count(PreviewFinished), 1);
    EXPECT_TRUE(eventsFor(5).empty());

    OpenMethodGateForAll();
    ASSERT_TRUE(recorder.waitFor(PreviewFinished, 5));
    waitIdle(session);
    EXPECT_LE(MaxConcurrentSteps(), 3);
    EXPECT_EQ(session.mRunningPreviews, 0);
}

TEST_F(SessionPreview, StopCancelsWhatIsQueuedAndLaterRequestsRun) {
    CloseMethodGate({1, 2, 3, 4, 5, 6});
    session.deblurPreviewAngleUpToStep(6, DeblurUSM3, -1, section);
    waitUntilThreeRun();
    // Handed out is not yet computing: wait until one has started, so it must finish.
    ASSERT_TRUE(recorder.waitFor(PreviewStarted, 1));
    session.stopPreview();
    session.deblurPreviewAngleStep(7, DeblurUSM3, -1, section);  // after the stop: runs
    OpenMethodGateForAll();
    ASSERT_TRUE(recorder.waitFor(PreviewFinished, 2));
    waitIdle(session);

    for (int step = 4; step <= 6; ++step) {
        const auto events = eventsFor(step);
        ASSERT_EQ(events.size(), 1u) << step;
        EXPECT_EQ(events[0].type, PreviewCancelled);
        EXPECT_TRUE(SameDeblurredEntry(events[0].entry, DeblurredEntry{DeblurUSM3, step, -1, {}}));
    }
    // Steps already handed out either ran to the end or were cancelled at their start.
    for (int step = 1; step <= 3; ++step) {
        const auto events = eventsFor(step);
        ASSERT_FALSE(events.empty()) << step;
        const int last = events.back().type;
        EXPECT_TRUE(last == PreviewFinished || last == PreviewCancelled) << step;
        EXPECT_EQ(session.deblurredPreviewIsDone(events.back().entry), last == PreviewFinished);
    }
    const auto seventh = eventsFor(7);
    ASSERT_EQ(seventh.size(), 2u);
    EXPECT_TRUE(seventh[0].type == PreviewStarted && seventh[1].type == PreviewFinished);
    EXPECT_FALSE(session.mStopPreview);
}

TEST_F(SessionPreview, ClearRemovesEveryPreview) {
    session.deblurPreviewAngleUpToStep(4, DeblurWF3, -1, section);
    ASSERT_TRUE(recorder.waitFor(PreviewFinished, 4));
    session.clearPreviews();
    for (int step = 1; step <= 4; ++step)
        EXPECT_FALSE(session.deblurredPreviewIsDone(DeblurredEntry{DeblurWF3, step, -1, {}}));
    EXPECT_FALSE(session.mStopPreview);
    EXPECT_EQ(session.mPreviewBatches + session.mRunningPreviews, 0);

    // While steps are held: clearing stops the rest and waits for the held ones.
    CloseMethodGate({1, 2, 3, 4, 5, 6});
    session.deblurPreviewAngleUpToStep(6, DeblurWF3, -1, section);
    for (int i = 0; i < 3000 && StepsAtGate() < 1; ++i) sleepMs(10);
    std::thread opener([] {
        sleepMs(200);
        OpenMethodGateForAll();
    });
    session.clearPreviews();
    opener.join();
    const std::size_t eventsAtReturn = recorder.events().size();
    dispatchWaitIdle();
    sleepMs(50);
    EXPECT_EQ(recorder.events().size(), eventsAtReturn);  // nothing after it returned
    std::lock_guard<Lock> guard(session.mLock);
    EXPECT_TRUE(session.mDeblurredPreviews.empty());
    EXPECT_FALSE(session.mStopPreview);
}

TEST_F(SessionPreview, FetchAppliesTheMaskToACopy) {
    const DeblurredEntry e{DeblurRL80, 2, -1, {}};
    EXPECT_EQ(session.deblurredPreview(e, 2, 0, 1, 0.5f), nullptr);
    session.deblurPreviewAngleStep(2, DeblurRL80, -1, section);
    ASSERT_TRUE(recorder.waitFor(PreviewFinished, 1));

    // Unmasked: the stand-in's output, input + 1, over the section.
    ImageRef plain = session.deblurredPreview(e, 2, 0, 0.0f, 0.5f);
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->width() == 256 && plain->height() == 200);
    const std::uint8_t* original = session.mOriginalImage->pixels();
    for (int y = 0; y < 200; y += 37)
        for (int x = 0; x < 256; x += 29)
            for (int c = 1; c <= 3; ++c)
                ASSERT_EQ(plain->pixels()[(y * 256 + x) * 4 + c],
                          std::min(original[((60 + y) * 600 + 50 + x) * 4 + c] + 1, 255));

    // Show-mask mode: a grey picture of the section's size, with dark and light parts.
    ImageRef mask = session.deblurredPreview(e, 2, 1, -1.0f, 0.5f);
    ASSERT_TRUE(mask);
    EXPECT_TRUE(mask->width() == 256 && mask->height() == 200);
    bool someDark = false, someLight = false;
    for (int i = 0; i < 256 * 200; ++i) {
        const std::uint8_t* p = mask->pixels() + i * 4;
        ASSERT_TRUE(p[0] == 255 && p[1] == p[2] && p[2] == p[3]);
        someDark |= p[1] < 64;
        someLight |= p[1] > 192;
    }
    EXPECT_TRUE(someDark && someLight);

    // Blending changes the fetched copy only; the stored preview stays as computed.
    EXPECT_FALSE(samePixels(session.deblurredPreview(e, 2, 0, 1.0f, 0.5f), plain));
    EXPECT_TRUE(samePixels(session.deblurredPreview(e, 2, 0, 0.0f, 0.5f), plain));
}

TEST(PreviewSectionAroundPoint, CentredShiftedOrWhole) {
    auto is = [](const Rect& r, double x, double y, double w, double h) {
        return r.x == x && r.y == y && r.width == w && r.height == h;
    };
    EXPECT_TRUE(is(PreviewSectionAroundPoint(150, 20, 300, 200), 0, 0, 300, 200));
    EXPECT_TRUE(is(PreviewSectionAroundPoint(100, 1400, 2000, 1500), 0, 988, 512, 512));
    EXPECT_TRUE(is(PreviewSectionAroundPoint(1000, 700, 2000, 1500), 744, 444, 512, 512));
    EXPECT_TRUE(is(PreviewSectionAroundPoint(1999, 0, 2000, 1500), 1488, 0, 512, 512));
    EXPECT_TRUE(is(PreviewSectionAroundPoint(256.9, 300, 512, 512), 0, 0, 512, 512));
    EXPECT_TRUE(is(PreviewSectionAroundPoint(900, 50, 1000, 100), 488, 0, 512, 100));
}

TEST(SessionPreviewDeath, BatchesNeedAnOriginalAndAPositiveStep) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Rect section{0, 0, 10, 10};
    Session s;
    EXPECT_DEATH(s.deblurPreviewAngleUpToStep(15, DeblurUSM1, -1, section), "mOriginalImage");
    EXPECT_DEATH(s.deblurPreviewAngleStep(1, DeblurUSM1, -1, section), "mOriginalImage");
    EXPECT_DEATH(s.deblurPreviewUpToStep(2, DeblurUSM1, section), "mOriginalImage");
    s.mOriginalImage = std::make_unique<CImage>(Image::create(20, 20));
    EXPECT_DEATH(s.deblurPreviewAngleUpToStep(0, DeblurUSM1, -1, section), "radiusMaxStep > 0");
    EXPECT_DEATH(s.deblurPreviewUpToStep(-1, DeblurUSM1, section), "radiusMaxStep > 0");
    EXPECT_DEATH(s.deblurPreviewAngleStep(0, DeblurUSM1, -1, section), "radiusStep > 0");
    EXPECT_EQ(s.mPreviewBatches, 0);
}
