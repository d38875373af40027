// clearPreviews, reset and loadImage while full deblurs and previews run, many times over: no
// crash, no event after reset returns, caches empty and nothing left running. Also run under
// ThreadSanitizer (label "concurrency").

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "SessionTestSupport.h"

using namespace velkaro;

namespace {

// Full deblurs of any type, a preview batch (sometimes one of several columns), sometimes a stop,
// then a least-squares preview.
void startWork(Session& s, std::mt19937& rng, int round) {
    for (int i = 0, n = 1 + int(rng() % 3); i < n; ++i) {
        const int step = 1 + int(rng() % 6);
        s.submitDeblur(DeblurredEntry{DeblurType(rng() % 27), step, -1,
                                      MaskSettings{step % 4 - 1, 2.0f, 0.5f, 0.3f}});
    }
    // Under 128 pixels the section's blur estimate, which a reset waits for, gives up at once.
    const Rect section{double(rng() % 100), double(rng() % 100), 120, 120};
    s.deblurPreviewAngleUpToStep(6, DeblurType(rng() % 22), -1, section);
    if (round % 4 == 1)  // columns whose runs fill the cells of fewer iterations on their way
        s.deblurPreviewColumnsUpToStep(3, {DeblurRL20, DeblurRL80, DeblurRT40, DeblurUSM1}, -1,
                                       section);
    if (round % 3 == 0)
        s.stopPreview();
    s.deblurPreviewAngleStep(1 + int(rng() % 10), DeblurLA1, -1, section);
}

}  // namespace

TEST(SessionConcurrency, LoadClearAndResetWhileWorkRunsAndResetStopsItPromptly) {
    Session s;
    EventRecorder recorder(s);
    s.setMethods(RecordingDeblurMethods());  // kept across loads and resets
    std::mt19937 rng(12345);
    recording().delayMicroseconds = 300;
    // Three small photographs of different sizes: the size of the work does not matter here, and
    // under ThreadSanitizer whole photographs would take many minutes.
    const std::string files[] = {chelseaCrop("concurrency_a.png", 0, 0, 240, 240),
                                 chelseaCrop("concurrency_b.png", 150, 40, 256, 232),
                                 chelseaCrop("concurrency_c.png", 200, 30, 232, 256)};
    for (int round = 0; round < 32; ++round) {
        ASSERT_TRUE(s.loadImage(files[round % 3]));
        startWork(s, rng, round);
        sleepMs(int(rng() % 15));
        if (round % 3 == 1) {  // another photograph while work runs
            ASSERT_TRUE(s.loadImage(files[(round + 1) % 3]));
            startWork(s, rng, round);
            sleepMs(int(rng() % 10));
        }
        if (round % 2 == 0) {
            s.clearPreviews();
            EXPECT_EQ(s.previewCount(), 0u);
            EXPECT_TRUE(s.previewsAreIdle());
            startWork(s, rng, round);
            sleepMs(int(rng() % 10));
        }
        resetAndCheck(s, recorder);
    }
    // Every full deblur's finish followed its start.
    std::map<DeblurredEntry, int> open;
    for (const auto& e : recorder.events()) {
        if (e.type == ET::DeblurStarted)
            ++open[e.entry];
        if (e.type == ET::DeblurFinished) {
            EXPECT_GT(open[e.entry]--, 0);
        }
    }

    // A reset stops a running deblur promptly: this one would take minutes unless told.
    recorder.clear();
    ASSERT_TRUE(s.loadImage(files[0]));
    recording().delayMicroseconds = 50'000'000;
    s.submitDeblur(DeblurredEntry{DeblurLA2, 3, -1, {}});
    ASSERT_TRUE(recorder.waitFor(ET::DeblurStarted, 1));
    resetAndCheck(s, recorder);
    recording().delayMicroseconds = 0;
    EXPECT_EQ(recorder.count(ET::DeblurFinished), 0);
}

TEST(SessionConcurrency, RealMethodsStopCleanly) {
    // The application's own methods (parallel loops, the FFT helper, the least-squares solver's
    // stop flag) on a small photograph, reset while they run.
    const std::string photo = chelseaCrop("session_concurrency_small.png", 170, 90, 96, 64);
    Session s;
    EventRecorder recorder(s);
    std::mt19937 rng(99);
    const DeblurType types[] = {DeblurUSM3, DeblurUSMF2, DeblurWF2, DeblurWI2,           DeblurRL20,
                                DeblurRT20, DeblurLA1,   DeblurFR,  DeblurBlurSimulation};
    for (int round = 0; round < 6; ++round) {
        ASSERT_TRUE(s.loadImage(photo));
        for (int i = 0; i < 2; ++i)
            s.submitDeblur(
                DeblurredEntry{types[rng() % 9], 3, -1, MaskSettings{1, 2.0f, 0.5f, 0.3f}});
        s.deblurPreviewAngleUpToStep(4, types[rng() % 9], -1, Rect{10, 10, 64, 48});
        if (round % 2 == 0)
            s.deblurPreviewColumnsUpToStep(3, {DeblurRT20, DeblurRL40, DeblurRL20}, -1,
                                           Rect{10, 10, 64, 48});
        sleepMs(int(rng() % 40));
        if (round % 2)
            s.clearPreviews();
        resetAndCheck(s, recorder);
    }
}
