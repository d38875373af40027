// Preview scheduling: batches, the throttle of three, stopping, section clamping, the masked fetch
// and the grid filling in the background (its stop and clearing). A new click clearing the
// previews while steps run is ControllerTest's ANewClickForgetsTheOldSectionStopAndCancel.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>

#include "../deblur/DeblurTestSupport.h"
#include "SessionTestSupport.h"
#include "SyntheticShake.h"

using namespace velkaro;

namespace {

const std::vector<ET> kFinished{ET::PreviewStarted, ET::PreviewFinished};

class SessionPreview : public RecordingSession {
  protected:
    SessionPreview() : RecordingSession("coffee.png") {}  // 600 × 400
    int running() { return session.workCounts().runningPreviews; }
    const Rect section{50, 60, 256, 200};
};

}  // namespace

TEST_F(SessionPreview, BatchOfFifteenStartsAndFinishesEachStepOnce) {
    session.deblurPreviewAngleUpToStep(15, DeblurRL20, -1, section);
    session.waitUntilIdle();
    for (const auto& e : recorder.events()) {
        EXPECT_TRUE(
            SameDeblurredEntry(e.entry, DeblurredEntry{DeblurRL20, e.entry.radiusStep, -1, {}}));
        EXPECT_NE(e.thread, std::this_thread::get_id());
        // Each finish is sent after its result was stored.
        EXPECT_TRUE(e.type != ET::PreviewFinished || e.previewsStored >= 1);
    }
    for (int step = 1; step <= 15; ++step) {
        EXPECT_EQ(recorder.typesFor(step), kFinished) << step;
        EXPECT_TRUE(session.deblurredPreviewIsDone(DeblurredEntry{DeblurRL20, step, -1, {}}));
    }
    EXPECT_EQ(session.previewCount(), 15u);
    EXPECT_EQ(RecordedMethodCalls().size(), 45u);  // three channels a step
    EXPECT_LE(recording().maxConcurrentSteps, 3);

    // Asking again computes and reports nothing: every entry is cached.
    recorder.clear();
    ClearRecordedMethodCalls();
    session.deblurPreviewAngleUpToStep(15, DeblurRL20, -1, section);
    session.waitUntilIdle();
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_TRUE(RecordedMethodCalls().empty());
}

TEST_F(SessionPreview, ColumnsRequestedTogetherRunEachMethodOncePerStep) {
    // RL80's run yields RL40's and RL20's cells; USM1 runs on its own.
    session.deblurPreviewColumnsUpToStep(3, {DeblurRL20, DeblurRL80, DeblurUSM1, DeblurRL40}, -1,
                                         section);
    session.waitUntilIdle();
    const auto calls = RecordedMethodCalls();
    EXPECT_EQ(calls.size(), 18u);  // 3 steps × 2 runs × 3 channels
    for (const RecordedCall& c : calls)
        EXPECT_TRUE(c.method == DeblurMethod::UnsharpMask ||
                    (c.method == DeblurMethod::LucyRichard && c.parameter == 80));
    for (DeblurType type : {DeblurRL20, DeblurRL40, DeblurRL80, DeblurUSM1})
        for (int step = 1; step <= 3; ++step)
            EXPECT_TRUE(session.deblurredPreviewIsDone(DeblurredEntry{type, step, -1, {}}))
                << DeblurTypeName(type) << " " << step;
    EXPECT_EQ(session.previewCount(), 12u);
}

TEST_F(SessionPreview, AngleSweepQueuesStepMajorRequests) {
    session.deblurPreviewUpToStep(2, DeblurWF2, section);
    session.waitUntilIdle();
    std::vector<std::pair<int, int>> started;  // step, angle
    for (const auto& e : recorder.events())
        if (e.type == ET::PreviewStarted)
            started.push_back({e.entry.radiusStep, e.entry.angle});
    std::set<std::pair<int, int>> all;  // steps 1 and 2 at 0, 10, ..., 170 degrees, once each
    for (int a = 0; a < 180; a += 10) all.insert({{1, a}, {2, a}});
    ASSERT_EQ(started.size(), 36u);
    EXPECT_EQ((std::set<std::pair<int, int>>(started.begin(), started.end())), all);
    // Handed out step by step: three of step 1 may still compute when step 2 starts.
    const auto step2 =
        std::find_if(started.begin(), started.end(), [](auto& p) { return p.first == 2; });
    EXPECT_GE(step2 - started.begin(), 16);
}

TEST_F(SessionPreview, StopCancelsWhatIsQueuedAndLaterRequestsRun) {
    // Steps 1 to 6 held at the gate: three handed out, one computing, the rest queued.
    for (int step = 1; step <= 6; ++step) CloseMethodGate(step);
    session.deblurPreviewAngleUpToStep(6, DeblurUSM3, -1, section);
    ASSERT_TRUE(eventually([&] { return StepsAtGate() >= 1 && running() == 3; }));
    session.stopPreview();
    session.deblurPreviewAngleStep(7, DeblurUSM3, -1, section);  // after the stop: runs
    OpenMethodGate();
    session.waitUntilIdle();
    // The queued steps are cancelled; those handed out ran to the end or were cancelled, at
    // their start or (stopped while they computed, perhaps unfinished) at their end.
    for (int step = 1; step <= 6; ++step) {
        const auto types = recorder.typesFor(step);
        const bool finished = types == kFinished;
        EXPECT_TRUE(finished || types == std::vector<ET>{ET::PreviewCancelled} ||
                    types == (std::vector<ET>{ET::PreviewStarted, ET::PreviewCancelled}))
            << step;
        EXPECT_TRUE(step <= 3 || !finished) << step;
        EXPECT_EQ(session.deblurredPreviewIsDone(DeblurredEntry{DeblurUSM3, step, -1, {}}),
                  finished);
    }
    EXPECT_EQ(recorder.typesFor(7), kFinished);
}

TEST_F(SessionPreview, SectionsAsGivenOrAroundAPointLieInThePhotograph) {
    Session big;
    big.setMethods(RecordingDeblurMethods());
    big.loadDecodedImage(Image::create(1000, 800));
    const std::pair<Rect, Region> cases[] = {
        {{900, 700, 512, 512}, {900, 700, 100, 100}},  // runs off the far sides
        {{-20, -5, 512, 512}, {0, 0, 512, 512}},       // starts before the image
        {{1200, 0, 512, 512}, {999, 0, 1, 512}},       // starts past the right edge
        {{0.9, 799.5, 3000, -4}, {0, 799, 1000, 1}},   // truncated; empty height: one pixel
    };
    int step = 0;
    for (const auto& [in, want] : cases) {
        ClearRecordedMethodCalls();
        big.deblurPreviewAngleStep(++step, DeblurUSMF1, -1, in);
        big.waitUntilIdle();
        const auto calls = RecordedMethodCalls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].region, want) << step;
        ImageRef p = big.deblurredPreview(DeblurredEntry{DeblurUSMF1, step, -1, {}}, 0, -1, 0, 0);
        ASSERT_TRUE(p) << step;
        EXPECT_EQ(p->width(), want.w) << step;
        EXPECT_EQ(p->height(), want.h) << step;
    }
    // The section around a click: centred, shifted inside, or the whole of a small photograph.
    const std::pair<std::array<double, 4>, std::array<double, 4>> around[] = {
        // point x, y, image W, H -> section x, y, w, h
        {{150, 20, 300, 200}, {0, 0, 300, 200}},
        {{100, 1400, 2000, 1500}, {0, 988, 512, 512}},
        {{1000, 700, 2000, 1500}, {744, 444, 512, 512}},
        {{1999, 0, 2000, 1500}, {1488, 0, 512, 512}},
        {{256.9, 300, 512, 512}, {0, 0, 512, 512}},
        {{900, 50, 1000, 100}, {488, 0, 512, 100}},
    };
    for (const auto& [p, want] : around) {
        const Rect r = PreviewSectionAroundPoint(p[0], p[1], int(p[2]), int(p[3]));
        EXPECT_EQ((std::array{r.x, r.y, r.width, r.height}), want) << p[0] << "," << p[1];
    }
}

TEST_F(SessionPreview, FetchAppliesTheMaskToACopy) {
    const DeblurredEntry e{DeblurRL80, 2, -1, {}};
    EXPECT_EQ(session.deblurredPreview(e, 2, 0, 1, 0.5f), nullptr);
    session.deblurPreviewAngleStep(2, DeblurRL80, -1, section);
    session.waitUntilIdle();
    // (Where a cell's pixels come from is the real methods' tests' below.)
    ImageRef plain = session.deblurredPreview(e, 2, 0, 0.0f, 0.5f);
    ASSERT_TRUE(plain);
    ASSERT_TRUE(plain->width() == 256);
    ASSERT_TRUE(plain->height() == 200);
    // Show-mask mode (opacity -1): the mask itself, of the section's size.
    ImageRef mask = session.deblurredPreview(e, 2, 1, -1.0f, 0.5f);
    ASSERT_TRUE(mask);
    ASSERT_TRUE(mask->width() == 256);
    ASSERT_TRUE(mask->height() == 200);
    EXPECT_FALSE(pixelsEqual(mask, plain));
    // Blending changes the fetched copy only.
    EXPECT_FALSE(pixelsEqual(session.deblurredPreview(e, 2, 0, 1.0f, 0.5f), plain));
    EXPECT_TRUE(samePixels(session.deblurredPreview(e, 2, 0, 0.0f, 0.5f), plain));
}

TEST(SessionPreviewOfRealMethods, MotionCellsEqualFullDeblursAndEachIsScoredInItsOwnSection) {
    // coffee.png (600 × 400) around (300, 200): the section (44, 0, 512, 400). Away from its left
    // and right edges (by the method's reach) a cell of a motion kernel is the full deblur at that
    // angle, and differs from the disc's cell, a result of its own.
    const Rect section = PreviewSectionAroundPoint(300, 200, 600, 400);
    // A kernel image (no symmetry, scaled to each step's radius) likewise, for every method that
    // deconvolves with the kernel.
    const BlurKernel shake = deblurtest::shakeKernel();
    struct Case {
        DeblurType type;
        int step;
        BlurKernel kernel;
        int margin, tolerance;  // margin in pixels, tolerance in levels
    } cases[] = {{DeblurUSMF2, 6, 30, 8, 0},     {DeblurUSMF2, 9, 135, 10, 0},
                 {DeblurWI2, 8, 0, 96, 3},       {DeblurWI2, 5, 75, 96, 3},
                 {DeblurWI2, 7, shake, 96, 3},   {DeblurWF2, 3, shake, 8, 0},
                 {DeblurRL20, 6, shake, 64, 1},  {DeblurRT20, 6, shake, 64, 1},
                 {DeblurUSMF3, 6, shake, 10, 0}, {DeblurBlurSimulation, 8, shake, 10, 0}};
    Session s;
    ASSERT_TRUE(s.loadImage(testDataPath("coffee.png")));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(DeblurTypeName(c.type)) + " " + std::to_string(c.kernel.angle) +
                     (c.kernel.image ? " image" : ""));
        const DeblurredEntry entry{
            c.type, c.step, c.kernel.image ? -1 : c.kernel.angle, {}, c.kernel.image},
            disc{c.type, c.step, -1, {}};
        s.deblurPreviewAngleStep(c.step, c.type, c.kernel, section);
        s.deblurPreviewAngleStep(c.step, c.type, -1, section);
        s.deblur(entry);
        s.waitUntilIdle();
        const ImageRef cell = s.deblurredPreview(entry, 0, -1, 0, 0);
        const ImageRef discCell = s.deblurredPreview(disc, 0, -1, 0, 0);
        const ImageRef full = s.deblurredImage(entry);
        ASSERT_TRUE(cell);
        ASSERT_TRUE(discCell);
        ASSERT_TRUE(full);
        // The largest difference of the interior from the full deblur, from the disc's cell.
        int worst = 0, fromDisc = 0;
        for (int y = 0; y < cell->height(); ++y)
            for (int x = c.margin; x < cell->width() - c.margin; ++x)
                for (int k = 1; k <= 3; ++k) {
                    const std::size_t i = (std::size_t(y) * cell->width() + x) * 4 + k;
                    const int a = cell->pixels()[i];
                    const int b = full->pixels()[(std::size_t(y) * full->width() + x + 44) * 4 + k];
                    worst = std::max(worst, std::abs(a - b));
                    fromDisc = std::max(fromDisc, std::abs(a - discCell->pixels()[i]));
                }
        EXPECT_LE(worst, c.tolerance);
        EXPECT_GT(fromDisc, 10);
    }

    // The score's view of the original is kept per section and step: after a click elsewhere the
    // same cell is judged against the new section, exactly as a score made from scratch.
    const DeblurredEntry usm2{DeblurUSM2, 4, -1, {}};
    for (const Rect& place : {Rect{0, 0, 256, 256}, Rect{300, 100, 256, 256}}) {
        s.clearPreviews();
        s.deblurPreviewAngleStep(4, DeblurUSM2, -1, place);
        s.waitUntilIdle();
        const ImageRef cell = s.deblurredPreview(usm2, 0, -1, 0, 0);
        const auto score = s.previewScore(usm2);
        ASSERT_TRUE(cell);
        ASSERT_TRUE(score);
        const CImage original = CropImage(*s.original(), int(place.x), int(place.y), 256, 256);
        EXPECT_DOUBLE_EQ(score->total, ScoreCandidate(original, CImage(cell), 2.0, -1).total);
    }
}

TEST_F(SessionPreview, GridFillsInTheBackgroundYieldingToRequestsUntilStopped) {
    // Two background cells held at the gate (holding the low queue's threads): a request still
    // runs at once, beside them.
    CloseMethodGate(1);
    CloseMethodGate(2);
    session.fillPreviewGrid(2, DeblurWF3, -1, section);
    ASSERT_TRUE(eventually([&] { return StepsAtGate() >= 1 && running() == 2; }));
    // Waiting cheapest first, least squares last, but a column looked at goes first.
    session.preferPreviewColumn(DeblurRL80);
    std::vector<DeblurredEntry> waiting = session.backgroundPreviewsWaiting();
    ASSERT_EQ(waiting.size(), std::size_t(2 * kGridDeblurTypes - 2));
    EXPECT_TRUE(waiting[0].deblurType == DeblurRL80);
    EXPECT_TRUE(waiting[1].deblurType == DeblurRL80);
    EXPECT_TRUE(std::string(DeblurTypeName(waiting[2].deblurType)).rfind("USM", 0) == 0);
    EXPECT_TRUE(std::string(DeblurTypeName(waiting.back().deblurType)).rfind("LA", 0) == 0);
    for (const DeblurredEntry& e : waiting) EXPECT_NE(e.deblurType, DeblurWF3);  // started first

    session.deblurPreviewAngleStep(3, DeblurLA2, -1, section);
    ASSERT_TRUE(recorder.waitFor(ET::PreviewFinished, 1));
    EXPECT_EQ(recorder.typesFor(3), kFinished);
    EXPECT_GE(StepsAtGate(), 1);

    // Opened: every cell once.
    OpenMethodGate();
    session.waitUntilIdle();
    std::set<std::pair<int, int>> started;
    for (const auto& e : recorder.events())
        if (e.type == ET::PreviewStarted && e.entry.radiusStep <= 2) {
            EXPECT_TRUE(started.insert({e.entry.deblurType, e.entry.radiusStep}).second);
        }
    EXPECT_EQ(started.size(), std::size_t(2 * kGridDeblurTypes));
    EXPECT_EQ(session.previewCount(), std::size_t(2 * kGridDeblurTypes + 1));

    // (That background cells are scored is ControllerTest's TheGridFillsItself….)

    // Stop: nothing more starts. A new click (clearing): nothing at all after it returns.
    for (bool clear : {false, true}) {
        SCOPED_TRACE(clear ? "clear" : "stop");
        recorder.clear();
        CloseMethodGate(3);
        CloseMethodGate(4);
        session.fillPreviewGrid(4, clear ? DeblurUSM2 : DeblurUSM1, -1, section);
        ASSERT_TRUE(eventually([&] { return StepsAtGate() >= 1 && running() == 2; }));
        std::thread opener([] {
            sleepMs(100);
            OpenMethodGate();
        });
        clear ? session.clearPreviews() : session.stopPreview();
        const std::size_t atReturn = recorder.events().size();
        opener.join();
        session.waitUntilIdle();
        dispatchWaitIdle();
        EXPECT_TRUE(session.backgroundPreviewsWaiting().empty());
        EXPECT_LE(recorder.count(ET::PreviewStarted), 2);  // the two handed out, at most
        if (clear) {
            EXPECT_EQ(recorder.events().size(), atReturn);
        }
    }
}

TEST(SessionPreviewOfRealMethods, GridCellsOfFewerIterationsEqualTheirOwnRuns) {
    // The grid, and a request of several columns, compute the Richardson–Lucy cells of one step
    // in one run of the most iterations, the others taken on its way: each must be exactly the
    // cell computed alone, in colour and brightness only, for the disc and a kernel image.
    const Rect section{100, 80, 200, 160};
    for (const bool brightnessOnly : {false, true})
        for (const BlurKernel& kernel : {BlurKernel(-1), deblurtest::shakeKernel()}) {
            SCOPED_TRACE(std::string(brightnessOnly ? "luma " : "") +
                         (kernel.image ? "image" : "disc"));
            Session grid, columns, alone;
            for (Session* s : {&grid, &columns, &alone}) {
                ASSERT_TRUE(s->loadImage(testDataPath("coffee.png")));
                s->setBrightnessOnly(brightnessOnly);
            }
            grid.fillPreviewGrid(2, DeblurUSM1, kernel, section);
            grid.waitUntilIdle();
            columns.deblurPreviewColumnsUpToStep(
                2, {DeblurRL40, DeblurRT20, DeblurRT80, DeblurRL20, DeblurRT40}, kernel, section);
            columns.waitUntilIdle();
            for (DeblurType type : {DeblurRL20, DeblurRL40, DeblurRT20, DeblurRT40, DeblurRT80})
                for (int step = 1; step <= 2; ++step) {
                    alone.deblurPreviewAngleStep(step, type, kernel, section);
                    alone.waitUntilIdle();
                    const DeblurredEntry entry = UnmaskedEntry(type, step, kernel, brightnessOnly);
                    const ImageRef a = grid.deblurredPreview(entry, 0, -1, 0, 0);
                    const ImageRef b = alone.deblurredPreview(entry, 0, -1, 0, 0);
                    const ImageRef c = columns.deblurredPreview(entry, 0, -1, 0, 0);
                    ASSERT_TRUE(a && b && c) << DeblurTypeName(type) << " " << step;
                    EXPECT_TRUE(std::equal(a->pixels(), a->pixels() + 4 * 200 * 160, b->pixels()))
                        << DeblurTypeName(type) << " " << step;
                    EXPECT_TRUE(std::equal(c->pixels(), c->pixels() + 4 * 200 * 160, b->pixels()))
                        << DeblurTypeName(type) << " " << step;
                    EXPECT_DOUBLE_EQ(grid.previewScore(entry)->total,
                                     alone.previewScore(entry)->total);
                }
        }
}

TEST(SessionPreviewOfRealMethods, KernelImageCellsRankBestNearTheKernelsOwnSize) {
    // A photograph shaken by a kernel image: of the Richardson–Lucy cells of that kernel scaled
    // to steps 1 … 16, the best-ranked is near the kernel's own size, not a cell that changes
    // little.
    const KernelImageRef kernel = SyntheticShakeKernel(14, 5);
    ASSERT_TRUE(kernel);
    const ImageRef sharp = ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png"));
    ASSERT_TRUE(sharp);
    Session s;
    s.loadDecodedImage(SyntheticBlur(CImage(sharp), *kernel, 1 / 255.0, 1).asImage());
    const Rect section = PreviewSectionAroundPoint(225, 150, sharp->width(), sharp->height());
    s.deblurPreviewAngleUpToStep(16, DeblurRL20, BlurKernel(kernel), section);
    s.waitUntilIdle();
    const std::vector<DeblurredEntry> best = s.bestPreviews(1);
    ASSERT_EQ(best.size(), 1u);
    const int own = int(std::lround(2 * kernel->radius()));
    EXPECT_NEAR(best[0].radiusStep, own, 2) << "own step " << own;
}

TEST(SessionPreviewRanking, ConfinedEntriesPairWithThePlainEntryOfTheSameKeyOnly) {
    const BlurKernel disc, line(30), shake(SyntheticShakeKernel(14, 5)),
        other(SyntheticShakeKernel(14, 6));
    const std::vector<DeblurredEntry> entries = {
        UnmaskedEntry(DeblurRT80, 5, disc),       UnmaskedEntry(DeblurRL80, 5, disc),
        UnmaskedEntry(DeblurRT80, 6, line),       UnmaskedEntry(DeblurRL80, 6, disc),
        UnmaskedEntry(DeblurRT20, 5, shake),      UnmaskedEntry(DeblurRL20, 5, shake),
        UnmaskedEntry(DeblurRT20, 6, other),      UnmaskedEntry(DeblurRL20, 6, shake),
        UnmaskedEntry(DeblurRT80, 5, disc, true), UnmaskedEntry(DeblurRT40, 5, disc)};
    EXPECT_EQ(PlainVariantIndices(entries),
              (std::vector<int>{1, -1, -1, -1, 5, -1, -1, -1, -1, -1}));
}
