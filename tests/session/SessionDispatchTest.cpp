// The dispatch table: every preset calls its method with its own constants and log lines, the
// stop flag of the least-squares pair, and the memory estimates.

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "Convolve.h"
#include "FitRefocus.h"
#include "Richard_Lucy.h"
#include "Richard_Lucy_Threshold.h"
#include "USM.h"
#include "Wiener_FIR.h"

#include "RecordingMethods.h"
#include "SessionTestSupport.h"

namespace {

// What a preset calls at step 6 (radius 3) on channel 2, angle 30, region 3 4 10 8, and the line
// it logs after "deblurring with radius 3.00". Parameters follow the radius; the single-precision
// constants are written as the doubles they widen to; -1 stands for matRadius, the step itself.
struct Row {
    const char* method;  // nullptr: no call
    std::vector<double> params;
    std::string log;
};

Row rowFor(int type) {
    const std::string region = " angle 30 [3 4 10 8]\n";
    if (type >= 0 && type <= 9) return {"unsharp_mask", {type < 5 ? 1.0 : 0.0, double(type % 5 + 1)}, ""};
    if (type >= 10 && type <= 13) {
        const double noise = type % 2 ? 0.0010000000474974513 : 0.009999999776482582;
        const std::string log = std::string("Solving using wiener ") + (type < 12 ? "fir" : "iir") +
                                " for channel 2 radius 3.0 matRadius 6 noise " +
                                (type % 2 ? "0.001000" : "0.010000") + " gamma 0.0" + region;
        if (type < 12) return {"deconvolve_wiener_fir", {-1, 0.0, noise}, log};
        return {"deconvolve_wnr_iir", {noise}, log};
    }
    if (type >= 14 && type <= 19) {
        const int iterations = 20 << ((type - 14) % 3);
        return {type < 17 ? "deconvolve_lucy_richard" : "deconvolve_lucy_richard_threshold",
                {double(iterations)},
                "Solving using richardson_lucy for channel 2 radius 3.0 iterations: " +
                    std::to_string(iterations) + region};
    }
    switch (type) {
        case 20: return {"deconvolve_sllsbox", {9.999999974752427e-07, 0},
                         "Solving using sllsbox for channel 2 radius 3.0 tolerance: 0.000001\n"};
        case 21: return {"deconvolve_sllsbox", {9.999999960041972e-13, 0},
                         "Solving using sllsbox for channel 2 radius 3.0 tolerance: 0.000000\n"};
        case 23: return {"fit_refocus", {}, ""};
        case 25: return {"convolve", {}, "Convolving for channel 2 radius 3.0" + region};
        default: return {nullptr, {}, "bad deblur type\n"};
    }
}

class SessionDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        mImage = Image::create(40, 30);
        for (int i = 0; i < 40 * 30 * 4; ++i) mImage->pixels()[i] = std::uint8_t(i * 7 + i / 160);
        session.mOriginalImage = std::make_unique<CImage>(mImage);
        session.mMethods = RecordingDeblurMethods();
        ClearRecordedMethodCalls();
    }
    ImageRef mImage;
    Session session;
};

}  // namespace

TEST_F(SessionDispatch, EveryPresetCallsItsMethodWithItsConstants) {
    for (int type = -1; type <= 27; ++type)
        for (int step : {1, 6, 15})
            for (bool full : {true, false}) {
                const std::string where = "type " + std::to_string(type) + " step " +
                                          std::to_string(step) + (full ? " full" : " preview");
                CImage destination(10, 8);
                ClearRecordedMethodCalls();
                testing::internal::CaptureStdout();
                session.deblurStepForChannel(step, DeblurType(type), &destination, 2, 30, full, 3,
                                             4, 10, 8);
                fflush(stdout);
                const std::string log = testing::internal::GetCapturedStdout();
                const Row e = rowFor(type);
                if (step == 6) {
                    EXPECT_EQ(log, std::string(type == 25 ? "" : "de") +
                                       "blurring with radius 3.00\n" + e.log) << where;
                }
                const auto calls = RecordedMethodCalls();
                if (!e.method) {
                    EXPECT_TRUE(calls.empty()) << where;
                    for (int i = 0; i < 10 * 8 * 4; ++i)  // the white a new image starts with
                        ASSERT_EQ(destination.pixels()[i], 255) << where;
                    continue;
                }
                ASSERT_EQ(calls.size(), 1u) << where;
                const MethodCall& c = calls[0];
                EXPECT_EQ(c.method, e.method) << where;
                EXPECT_EQ(c.input, mImage->pixels()) << where;  // the original itself
                EXPECT_TRUE(c.outWidth == 10 && c.outHeight == 8 && c.channel == 2 &&
                            c.angle == 30 && c.x == 3 && c.y == 4 && c.w == 10 && c.h == 8)
                    << where;
                std::vector<double> want{step * 0.5};  // the radius, then the preset's own
                for (double p : e.params) want.push_back(p == -1 ? step : p);
                EXPECT_EQ(c.params, want) << where;
                if (type == 20 || type == 21) {
                    EXPECT_EQ(c.residual, nullptr);
                    EXPECT_EQ(c.cancel, full ? &session.mStopDeblur : &session.mStopPreview);
                }
            }

    // A stopped full deblur returns at once; a preview channel is not governed by that flag.
    CImage destination(10, 10);
    ClearRecordedMethodCalls();
    session.mStopDeblur = true;
    testing::internal::CaptureStdout();
    session.deblurStepForChannel(3, DeblurRL20, &destination, 1, -1, true, 0, 0, 10, 10);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(RecordedMethodCalls().empty());
    testing::internal::CaptureStdout();
    session.deblurStepForChannel(3, DeblurRL20, &destination, 1, -1, false, 0, 0, 10, 10);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(RecordedMethodCalls().size(), 1u);
    session.mStopDeblur = false;
}

TEST_F(SessionDispatch, MemoryEstimates) {
    // Step 7 (radius 3.5) of a 64 × 48 region; -1 stands for matRadius 7. Each stand-in answers
    // its own number; unknown types 0.
    const std::tuple<int, const char*, std::int64_t, std::vector<double>> cases[] = {
        {0, "unsharp_mask_mem_usage", 1001, {3.5, 1, 1}},
        {9, "unsharp_mask_mem_usage", 1001, {3.5, 0, 5}},
        {10, "deconvolve_wiener_fir_mem_usage", 1002, {3.5, 7, 0, 0.009999999776482582}},
        {11, "deconvolve_wiener_fir_mem_usage", 1002, {3.5, 7, 0, 0.0010000000474974513}},
        {12, "deconvolve_wnr_iir_mem_usage", 1003, {3.5, 0.009999999776482582}},
        {16, "deconvolve_lucy_richard_mem_usage", 1004, {3.5, 80}},
        {18, "deconvolve_lucy_richard_threshold_mem_usage", 1005, {3.5, 40}},
        {21, "deconvolve_sllsbox_mem_usage", 1006, {3.5, 9.999999747378752e-05, 0}},
        {23, "fit_refocus_mem_usage", 1007, {3.5}},
        {25, "convolve_mem_usage", 1008, {3.5}},
        {22, nullptr, 0, {}}, {24, nullptr, 0, {}}, {26, nullptr, 0, {}}, {-1, nullptr, 0, {}},
    };
    for (const auto& [type, method, result, params] : cases) {
        ClearRecordedMethodCalls();
        testing::internal::CaptureStdout();
        EXPECT_EQ(session.memoryUsageForDeblurType(7, DeblurType(type), 64, 48), result) << type;
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(log, result ? "" : "bad deblur type in memoryUsageForDeblurType\n") << type;
        const auto calls = RecordedMethodCalls();
        ASSERT_EQ(calls.size(), method ? 1u : 0u) << type;
        if (!method) continue;
        const MethodCall& c = calls[0];
        EXPECT_EQ(c.method, method);
        EXPECT_EQ(c.params, params) << type;
        // The original, a scratch destination of the requested size, channel 0, no angle, the
        // whole region.
        EXPECT_TRUE(c.input == mImage->pixels() && c.outWidth == 64 && c.outHeight == 48 &&
                    c.channel == 0 && c.angle == -1 && c.x == 0 && c.y == 0 && c.w == 64 &&
                    c.h == 48 && !c.residual) << type;
    }
    // The two-argument form uses the original's size.
    ClearRecordedMethodCalls();
    EXPECT_EQ(session.memoryUsageForDeblurType(2, DeblurRL40), 1004);
    ASSERT_EQ(RecordedMethodCalls().size(), 1u);
    EXPECT_TRUE(RecordedMethodCalls()[0].w == 40 && RecordedMethodCalls()[0].h == 30);
}

TEST(SessionMethods, FullDeblursEqualTheMethodsCalledPerChannel) {
    // The production table: each preset's result is its method applied to the three channels.
    Session s;
    ASSERT_TRUE(s.loadImage(chelseaCrop("session_methods_small.png", 190, 110, 60, 40)));
    const CImage& in = *s.mOriginalImage;
    const double r = 1.5;  // step 3
    const std::pair<DeblurType, std::function<void(CImage&, int)>> cases[] = {
        {DeblurUSM2, [&](CImage& o, int c) { unsharp_mask(in, o, 1, c, r, 2.0, -1, 0, 0, 60, 40); }},
        {DeblurUSMF3, [&](CImage& o, int c) { unsharp_mask(in, o, 0, c, r, 3.0, -1, 0, 0, 60, 40); }},
        {DeblurWF3, [&](CImage& o, int c) {
             deconvolve_wiener_fir(in, o, c, r, 3, 0.0, double(0.001f), -1, 0, 0, 60, 40); }},
        {DeblurRL20, [&](CImage& o, int c) { deconvolve_lucy_richard(in, o, c, r, 20, -1, 0, 0, 60, 40); }},
        {DeblurRT20, [&](CImage& o, int c) {
             deconvolve_lucy_richard_threshold(in, o, c, r, 20, -1, 0, 0, 60, 40); }},
        {DeblurFR, [&](CImage& o, int c) { fit_refocus(in, o, c, r, -1, 0, 0, 60, 40); }},
        {DeblurBlurSimulation, [&](CImage& o, int c) { convolve(in, o, c, r, -1, 0, 0, 60, 40); }},
    };
    for (const auto& [type, call] : cases) {
        CImage expected(60, 40);
        for (int c = 1; c <= 3; ++c) call(expected, c);
        s.deblurStep(3, type, -1, 0, -1, 0, 0);
        EXPECT_TRUE(samePixels(s.deblurredImage(DeblurredEntry{type, 3, -1, {}}), expected.asImage()))
            << type;
    }
}
