// loadImage, reset and destruction: the events they send and what they leave. Full deblurs:
// events, the cache, masking and fetching, failures. (Refusals for memory are tests/hardening's
// MemoryRefusalTest.)

#include <gtest/gtest.h>

#include <new>

#include "ImageProcess.h"
#include "SessionTestSupport.h"

using namespace velkaro;

TEST(SessionLifecycle, LoadSendsTwoEventsResetEmptiesAndDestructionWaitsForAQueuedStop) {
    Session s;
    expectEmpty(s);
    s.reset();  // on an empty session: returns at once

    EventRecorder rec(s);
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const auto events = rec.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].type == ET::OriginalLoaded);
    EXPECT_TRUE(events[1].type == ET::ReconstructedLoaded);
    for (const auto& e : events) {
        EXPECT_TRUE(e.entry.deblurType == DeblurNoType);
        EXPECT_TRUE(e.thread == std::this_thread::get_id());
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
    for (const std::string& path :
         {testDataPath("does_not_exist.png"), testDataPath("truncated.jpg"),
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

namespace {

class SessionDeblur : public RecordingSession {
  protected:
    SessionDeblur() : RecordingSession("chelsea.png") {}  // 451 × 300
    void run(const DeblurredEntry& entry) {
        session.submitDeblur(entry);
        session.waitUntilIdle();
    }
    // What the stand-ins make: input + 1 in every colour channel.
    ImageRef plainResult() {
        ImageRef expected = session.original()->asImage()->copy();
        for (std::size_t i = 0; i < std::size_t(451) * 300 * 4; ++i)
            if (i % 4)
                expected->pixels()[i] = std::uint8_t(std::min(expected->pixels()[i] + 1, 255));
        return expected;
    }
};

}  // namespace

TEST_F(SessionDeblur, FromAWorkerTheMaskedResultIsStoredAndFailuresStoreNothing) {
    const DeblurredEntry key{DeblurRL40, 4, -1, {1, 3.0f, 0.5f, 0.5f}};
    run(key);
    EXPECT_EQ(recorder.typesFor(4), (std::vector<ET>{ET::DeblurStarted, ET::DeblurFinished}));
    for (const auto& e : recorder.events()) {
        EXPECT_TRUE(e.thread != std::this_thread::get_id());
        EXPECT_TRUE(SameDeblurredEntry(e.entry, key));
        EXPECT_TRUE(e.entry.maskSettings.type == 1);
    }
    // Three channels over the whole photograph, in sequence, with the preset's own parameter.
    const auto calls = RecordedMethodCalls();
    ASSERT_EQ(calls.size(), 3u);
    for (int c = 0; c < 3; ++c) {
        EXPECT_TRUE(calls[c].method == DeblurMethod::LucyRichard);
        EXPECT_EQ(calls[c].channel, c + 1);
        EXPECT_EQ(calls[c].parameter, 40);
        EXPECT_EQ(calls[c].radius, 2.0);
        EXPECT_EQ(calls[c].region, (Region{0, 0, 451, 300}));
    }
    // The stored image is the method's output with the mask applied; every fetch a fresh decode.
    ImageRef expected = plainResult();
    CreateMask(session.original()->asImage(), expected, 0, 0, 451, 300, 1, 0, 3.0f, 0.5f, 0.5f);
    ImageRef stored = session.deblurredImage(key);
    EXPECT_TRUE(samePixels(stored, expected));
    ImageRef again = session.deblurredImage(key);
    EXPECT_NE(again.get(), stored.get());
    EXPECT_TRUE(samePixels(again, stored));
    // Another mask float is another key; without a mask the floats do not count.
    EXPECT_FALSE(session.deblurredImage(DeblurredEntry{DeblurRL40, 4, -1, {1, 3.0f, 0.5f, 0.25f}}));
    run(DeblurredEntry{DeblurUSM2, 3, -1, {-1, 5.0f, 0, 0}});
    EXPECT_TRUE(session.deblurredImage(DeblurredEntry{DeblurUSM2, 3, -1, {-1, 1, 2, 3}}));
    EXPECT_FALSE(session.deblurredImage(DeblurredEntry{DeblurUSM2, 3, 0, {}}));

    // A failed method ends the deblur with DeblurFailed and leaves an earlier result in place.
    const DeblurredEntry wi2{DeblurWI2, 4, -1, {}};
    run(wi2);
    recorder.clear();
    ClearRecordedMethodCalls();
    recording().fail = true;
    run(wi2);
    run(DeblurredEntry{DeblurWI3, 5, -1, {}});
    recording().fail = false;
    EXPECT_EQ(recorder.typesFor(4), (std::vector<ET>{ET::DeblurStarted, ET::DeblurFailed}));
    EXPECT_EQ(recorder.typesFor(5), (std::vector<ET>{ET::DeblurStarted, ET::DeblurFailed}));
    EXPECT_EQ(RecordedMethodCalls().size(), 2u);  // the first channel fails; no other is tried
    for (const auto& call : RecordedMethodCalls()) EXPECT_EQ(call.channel, 1);
    EXPECT_TRUE(samePixels(session.deblurredImage(wi2), plainResult()));
    EXPECT_FALSE(session.deblurredImage(DeblurredEntry{DeblurWI3, 5, -1, {}}));
    // So does one that runs out of memory on its worker, instead of taking the process down.
    recording().value = [](DeblurMethod, const MethodCall&, int) -> int { throw std::bad_alloc(); };
    run(DeblurredEntry{DeblurWI3, 6, -1, {}});
    // A preview cell likewise ends unfinished and empty.
    session.deblurPreviewAngleStep(7, DeblurWI3, -1, Rect{0, 0, 120, 120});
    ASSERT_TRUE(recorder.waitFor(ET::PreviewCancelled, 1));
    recording().value = nullptr;
    EXPECT_EQ(recorder.typesFor(6), (std::vector<ET>{ET::DeblurStarted, ET::DeblurFailed}));
    EXPECT_EQ(recorder.typesFor(7), (std::vector<ET>{ET::PreviewStarted, ET::PreviewCancelled}));
    EXPECT_FALSE(session.deblurredPreviewIsDone(DeblurredEntry{DeblurWI3, 7, -1, {}}));
    EXPECT_TRUE(eventually([&] { return session.isIdle(); }));  // the event precedes the wind-up

    // Unknown presets, and any preset in an empty session, compute nothing.
    for (int type : {int(DeblurUnassigned), int(DeblurEffect), int(DeblurNoType), -1, 40}) {
        ClearRecordedMethodCalls();
        session.deblur(DeblurredEntry{DeblurType(type), 2, -1, {}});
        EXPECT_TRUE(RecordedMethodCalls().empty()) << type;
        EXPECT_EQ(session.memoryUsageForDeblurType(2, DeblurType(type)), 0) << type;
    }
    session.reset();
    recorder.clear();
    run(DeblurredEntry{DeblurRL20, 2, -1, {}});
    EXPECT_TRUE(recorder.events().empty());
}

TEST(SessionMethods, LongMethodsReportEveryIterationAndStopAtTheNextPoll) {
    // The production methods, called as a full deblur calls them, run to their end or stopped
    // from their own third report.
    Session s;
    ASSERT_TRUE(s.loadImage(chelseaCrop("session_progress.png", 150, 90, 80, 60)));
    const std::pair<DeblurType, int> cases[] = {{DeblurRL20, 20}, {DeblurRT40, 40}, {DeblurLA1, 0}};
    for (const auto& [type, iterations] : cases) {
        for (const int stopAt : {0, 3}) {
            const Preset& preset = PresetFor(type);
            std::atomic<bool> stop{false};
            std::vector<MethodProgressStep> steps;
            const MethodProgress progress = [&](const MethodProgressStep& p) {
                steps.push_back(p);
                stop = int(steps.size()) == stopAt;
            };
            CImage out(80, 60);
            ASSERT_TRUE(DefaultDeblurMethods()[preset.method].run(
                MethodCall{*s.original(), out, 2, 2.0, preset.parameter, -1, Region{0, 0, 80, 60},
                           &stop, &progress}));
            ASSERT_GE(steps.size(), 3u) << type;
            for (std::size_t i = 0; i < steps.size(); ++i) {
                EXPECT_EQ(steps[i].iteration, int(i) + 1) << type;
                EXPECT_EQ(steps[i].iterations, iterations) << type;
                EXPECT_TRUE(steps[i].fraction >= (i ? steps[i - 1].fraction : 0.0)) << type;
                EXPECT_TRUE(steps[i].fraction <= 1) << type;
            }
            if (stopAt) {
                EXPECT_EQ(steps.size(), std::size_t(stopAt)) << type;  // not one iteration more
            } else if (iterations) {
                EXPECT_TRUE(int(steps.size()) == iterations) << type;
                EXPECT_TRUE(steps.back().fraction == 1) << type;
            }
        }
    }
}

TEST(SessionProgress, ReportsFollowEachDeblurAndACancelledOneEndsAloneWithNothingStored) {
    Session s;
    EventRecorder recorder(s);
    ASSERT_TRUE(s.loadImage(testDataPath("astronaut.png")));
    const DeblurredEntry rl{DeblurRL80, 6, -1, {}}, la{DeblurLA1, 8, -1, {}},
        soon{DeblurRL20, 2, -1, {}};
    const DeblurId laId = s.submitDeblur(la), rlId = s.submitDeblur(rl);
    // The solver is running: its own iterations are being reported.
    ASSERT_TRUE(eventually([&] {
        const auto reports = recorder.events(true);
        return std::any_of(reports.begin(), reports.end(),
                           [&](auto& e) { return e.id == laId && e.progress.iteration > 0; });
    }));
    EXPECT_TRUE(s.cancelDeblur(laId));
    EXPECT_FALSE(s.cancelDeblur(laId));
    // Cancelled at once after its submission: whether it had started or not, it ends alone.
    const DeblurId soonId = s.submitDeblur(soon);
    EXPECT_TRUE(s.cancelDeblur(soonId));
    s.waitUntilIdle();
    EXPECT_FALSE(s.cancelDeblur(rlId));
    EXPECT_FALSE(s.cancelDeblur(12345));

    // Each deblur has a step of its own.
    EXPECT_EQ(recorder.typesFor(8), (std::vector<ET>{ET::DeblurStarted, ET::DeblurCancelled}));
    EXPECT_EQ(recorder.typesFor(6), (std::vector<ET>{ET::DeblurStarted, ET::DeblurFinished}));
    const std::vector<ET> soonTypes = recorder.typesFor(2);
    EXPECT_TRUE(soonTypes == std::vector<ET>{ET::DeblurCancelled} ||
                soonTypes == (std::vector<ET>{ET::DeblurStarted, ET::DeblurCancelled}));
    EXPECT_FALSE(s.deblurredImage(la));
    EXPECT_FALSE(s.deblurredImage(soon));
    EXPECT_TRUE(s.deblurredImage(rl));
    // The finished deblur's reports: every channel in turn, the fraction never going back.
    std::vector<int> channels;
    double fraction = 0;
    for (const RecordedEvent& e : recorder.events(true)) {
        if (e.id != rlId)
            continue;
        EXPECT_TRUE(SameDeblurredEntry(e.entry, rl));
        EXPECT_GE(e.progress.fraction, fraction);
        EXPECT_LE(e.progress.fraction, 1);
        EXPECT_TRUE(e.progress.iteration <= e.progress.iterations);
        EXPECT_TRUE(e.progress.iterations % 80 == 0);
        fraction = e.progress.fraction;
        if (channels.empty() || channels.back() != e.progress.channel)
            channels.push_back(e.progress.channel);
    }
    EXPECT_EQ(channels, (std::vector<int>{1, 2, 3}));
}
