// The dispatch table: every preset calls its method with its own constants, the session's
// log lines, the stop flag of the least-squares pair, and the memory estimates.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "Convolve.h"
#include "FitRefocus.h"
#include "ImageIO.h"
#include "Richard_Lucy.h"
#include "Richard_Lucy_Threshold.h"
#include "USM.h"
#include "Wiener_FIR.h"

#include "RecordingMethods.h"
#include "SessionTestSupport.h"

namespace {

ImageRef patternImage(int width, int height) {
    ImageRef image = Image::create(width, height);
    std::uint8_t* p = image->pixels();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = p + (std::size_t(y) * width + x) * 4;
            px[0] = 255;
            px[1] = std::uint8_t(x * 7 + y * 3);
            px[2] = std::uint8_t(x * 5 + y * 11 + 40);
            px[3] = std::uint8_t(x * 13 + y + 90);
        }
    return image;
}

// What each preset must call. The constants are the single-precision values widened to double,
// written out here as the doubles they become.
struct Expected {
    const char* method;  // nullptr: no call, "bad deblur type" instead
    std::vector<double> params;  // after the radius (the radius itself is checked separately)
    const char* logFormat;       // the line printed before the call, or nullptr
};

Expected expectedFor(int type) {
    if (type >= 0 && type <= 4) return {"unsharp_mask", {1.0, double(type + 1)}, nullptr};
    if (type >= 5 && type <= 9) return {"unsharp_mask", {0.0, double(type - 4)}, nullptr};
    switch (type) {
        case 10: return {"deconvolve_wiener_fir", {-1, 0.0, 0.009999999776482582}, "wf"};
        case 11: return {"deconvolve_wiener_fir", {-1, 0.0, 0.0010000000474974513}, "wf"};
        case 12: return {"deconvolve_wnr_iir", {0.009999999776482582}, "wi"};
        case 13: return {"deconvolve_wnr_iir", {0.0010000000474974513}, "wi"};
        case 14: return {"deconvolve_lucy_richard", {20}, "rl"};
        case 15: return {"deconvolve_lucy_richard", {40}, "rl"};
        case 16: return {"deconvolve_lucy_richard", {80}, "rl"};
        case 17: return {"deconvolve_lucy_richard_threshold", {20}, "rl"};
        case 18: return {"deconvolve_lucy_richard_threshold", {40}, "rl"};
        case 19: return {"deconvolve_lucy_richard_threshold", {80}, "rl"};
        case 20: return {"deconvolve_sllsbox", {9.999999974752427e-07, 0}, "la"};
        case 21: return {"deconvolve_sllsbox", {9.999999960041972e-13, 0}, "la"};
        case 23: return {"fit_refocus", {}, nullptr};
        case 25: return {"convolve", {}, "blur"};
        default: return {nullptr, {}, nullptr};
    }
}

std::string expectedLog(int type, int step, int channel, int angle, int x, int y, int w, int h) {
    const double radius = step * 0.5;
    char line[512];
    std::string out;
    snprintf(line, sizeof line, "%sblurring with radius %.2f\n", type == 25 ? "" : "de", radius);
    out += line;
    const Expected e = expectedFor(type);
    const std::string kind = e.logFormat ? e.logFormat : "";
    line[0] = 0;
    if (!e.method) {
        snprintf(line, sizeof line, "bad deblur type\n");
    } else if (kind == "wf" || kind == "wi") {
        snprintf(line, sizeof line,
                 "Solving using wiener %s for channel %d radius %.1f matRadius %d noise %f gamma "
                 "%.1f angle %d [%d %d %d %d]\n",
                 kind == "wf" ? "fir" : "iir", channel, radius, step,
                 e.params.back(), 0.0, angle, x, y, w, h);
    } else if (kind == "rl") {
        snprintf(line, sizeof line,
                 "Solving using richardson_lucy for channel %d radius %.1f iterations: %d angle %d "
                 "[%d %d %d %d]\n",
                 channel, radius, int(e.params[0]), angle, x, y, w, h);
    } else if (kind == "la") {
        snprintf(line, sizeof line, "Solving using sllsbox for channel %d radius %.1f tolerance: %f\n",
                 channel, radius, e.params[0]);
    } else if (kind == "blur") {
        snprintf(line, sizeof line, "Convolving for channel %d radius %.1f angle %d [%d %d %d %d]\n",
                 channel, radius, angle, x, y, w, h);
    }
    return out + line;
}

class SessionDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        mImage = patternImage(40, 30);
        session.mOriginalImage = std::make_unique<CImage>(mImage);
        session.mMethods = RecordingDeblurMethods();
        ClearRecordedMethodCalls();
    }
    ImageRef mImage;
    Session session;
};

}  // namespace

TEST_F(SessionDispatch, EveryPresetCallsItsMethodWithItsConstants) {
    const int x = 3, y = 4, w = 10, h = 8;
    for (int type = -1; type <= 27; ++type) {
        for (int step : {1, 6, 15}) {
            for (bool full : {true, false}) {
                const int channel = 1 + (type + step) % 3;
                const int angle = (type % 2) ? -1 : 30;
                CImage destination(w, h);
                ClearRecordedMethodCalls();
                testing::internal::CaptureStdout();
                session.deblurStepForChannel(step, DeblurType(type), &destination, channel, angle,
                                             full, x, y, w, h);
                fflush(stdout);
                const std::string log = testing::internal::GetCapturedStdout();
                const std::string where = "type " + std::to_string(type) + " step " +
                                          std::to_string(step) + (full ? " full" : " preview");
                EXPECT_EQ(log, expectedLog(type, step, channel, angle, x, y, w, h)) << where;

                const Expected e = expectedFor(type);
                const auto calls = RecordedMethodCalls();
                if (!e.method) {
                    EXPECT_TRUE(calls.empty()) << where;
                    // The destination keeps the white a new image starts with.
                    for (int i = 0; i < w * h * 4; ++i)
                        ASSERT_EQ(destination.pixels()[i], 255) << where;
                    continue;
                }
                ASSERT_EQ(calls.size(), 1u) << where;
                const MethodCall& c = calls[0];
                EXPECT_EQ(c.method, e.method) << where;
                EXPECT_EQ(c.input, mImage->pixels()) << where;  // the original itself
                EXPECT_EQ(c.outWidth, w);
                EXPECT_EQ(c.outHeight, h);
                EXPECT_EQ(c.channel, channel) << where;
                EXPECT_EQ(c.angle, angle) << where;
                EXPECT_EQ(c.x, x);
                EXPECT_EQ(c.y, y);
                EXPECT_EQ(c.w, w);
                EXPECT_EQ(c.h, h);
                ASSERT_EQ(c.params.size(), e.params.size() + 1) << where;
                EXPECT_EQ(c.params[0], step * 0.5) << where;  // radius = step × 0.5
                for (std::size_t i = 0; i < e.params.size(); ++i) {
                    // -1 stands for matRadius = int(2 × radius), which is the step itself.
                    const double want = e.params[i] == -1 ? double(step) : e.params[i];
                    EXPECT_EQ(c.params[i + 1], want) << where << " parameter " << i;
                }
                if (type == 20 || type == 21) {
                    EXPECT_EQ(c.residual, nullptr);
                    EXPECT_EQ(c.cancel, full ? &session.mStopDeblur : &session.mStopPreview)
                        << where;
                }
            }
        }
    }
}

TEST_F(SessionDispatch, WienerFirMatRadiusAtTheEnds) {
    CImage destination(10, 10);
    testing::internal::CaptureStdout();
    session.deblurStepForChannel(1, DeblurWF2, &destination, 1, -1, true, 0, 0, 10, 10);
    session.deblurStepForChannel(15, DeblurWF3, &destination, 1, -1, true, 0, 0, 10, 10);
    testing::internal::GetCapturedStdout();
    const auto calls = RecordedMethodCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].params[0], 0.5);
    EXPECT_EQ(calls[0].params[1], 1.0);
    EXPECT_EQ(calls[1].params[0], 7.5);
    EXPECT_EQ(calls[1].params[1], 15.0);
}

TEST_F(SessionDispatch, FullStepReturnsAtOnceWhenStopped) {
    CImage destination(10, 10);
    session.mStopDeblur = true;
    testing::internal::CaptureStdout();
    session.deblurStepForChannel(3, DeblurRL20, &destination, 1, -1, true, 0, 0, 10, 10);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(RecordedMethodCalls().empty());
    // A preview channel is not governed by the full-deblur flag.
    session.deblurStepForChannel(3, DeblurRL20, &destination, 1, -1, false, 0, 0, 10, 10);
    EXPECT_EQ(RecordedMethodCalls().size(), 1u);
    session.mStopDeblur = false;
}

TEST_F(SessionDispatch, MemoryEstimates) {
    struct Case {
        int type;
        const char* method;  // nullptr: no call
        std::int64_t result;
        std::vector<double> params;  // after the radius
    };
    const Case cases[] = {
        {0, "unsharp_mask_mem_usage", 1001, {1, 1}},
        {4, "unsharp_mask_mem_usage", 1001, {1, 5}},
        {5, "unsharp_mask_mem_usage", 1001, {0, 1}},
        {9, "unsharp_mask_mem_usage", 1001, {0, 5}},
        {10, "deconvolve_wiener_fir_mem_usage", 1002, {-1, 0, 0.009999999776482582}},
        {11, "deconvolve_wiener_fir_mem_usage", 1002, {-1, 0, 0.0010000000474974513}},
        {12, nullptr, 1, {}},
        {13, nullptr, 1, {}},
        {14, "deconvolve_lucy_richard_mem_usage", 1003, {20}},
        {16, "deconvolve_lucy_richard_mem_usage", 1003, {80}},
        {18, "deconvolve_lucy_richard_threshold_mem_usage", 1004, {40}},
        {20, "deconvolve_sllsbox_mem_usage", 1005, {9.999999747378752e-05, 0}},
        {21, "deconvolve_sllsbox_mem_usage", 1005, {9.999999747378752e-05, 0}},
        {22, nullptr, 0, {}},
        {23, "fit_refocus_mem_usage", 1006, {}},
        {24, nullptr, 0, {}},
        {25, "convolve_mem_usage", 1007, {}},
        {26, nullptr, 0, {}},
        {27, nullptr, 0, {}},
        {-1, nullptr, 0, {}},
    };
    const int step = 7, width = 64, height = 48;
    for (const Case& k : cases) {
        ClearRecordedMethodCalls();
        testing::internal::CaptureStdout();
        const std::int64_t got = session.memoryUsageForDeblurType(step, DeblurType(k.type), width, height);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(got, k.result) << k.type;
        const auto calls = RecordedMethodCalls();
        if (!k.method) {
            EXPECT_TRUE(calls.empty()) << k.type;
            EXPECT_EQ(log, k.result == 1 ? "" : "bad deblur type in memoryUsageForDeblurType\n")
                << k.type;
            continue;
        }
        EXPECT_EQ(log, "");
        ASSERT_EQ(calls.size(), 1u) << k.type;
        const MethodCall& c = calls[0];
        EXPECT_EQ(c.method, k.method);
        EXPECT_EQ(c.input, mImage->pixels());
        EXPECT_EQ(c.outWidth, width);  // a scratch destination of the requested size
        EXPECT_EQ(c.outHeight, height);
        EXPECT_EQ(c.channel, 0);
        EXPECT_EQ(c.angle, -1);
        EXPECT_EQ(c.x, 0);
        EXPECT_EQ(c.y, 0);
        EXPECT_EQ(c.w, width);
        EXPECT_EQ(c.h, height);
        EXPECT_EQ(c.residual, nullptr);
        ASSERT_EQ(c.params.size(), k.params.size() + 1) << k.type;
        EXPECT_EQ(c.params[0], 3.5);
        for (std::size_t i = 0; i < k.params.size(); ++i)
            EXPECT_EQ(c.params[i + 1], k.params[i] == -1 ? 7.0 : k.params[i]) << k.type << " " << i;
    }
    // The two-argument form uses the original's size.
    ClearRecordedMethodCalls();
    EXPECT_EQ(session.memoryUsageForDeblurType(2, DeblurRL40), 1003);
    ASSERT_EQ(RecordedMethodCalls().size(), 1u);
    EXPECT_EQ(RecordedMethodCalls()[0].w, 40);
    EXPECT_EQ(RecordedMethodCalls()[0].h, 30);
}

TEST(SessionMethods, FullDeblursEqualTheMethodsCalledPerChannel) {
    // The production table: each preset's result is its method applied to the three channels.
    const std::string photo = testOutputPath("session_methods_small.png");
    {
        ImageRef full = ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png"));
        ASSERT_TRUE(full);
        ImageRef small = Image::create(60, 40);
        for (int y = 0; y < 40; ++y)
            std::memcpy(small->pixels() + y * 60 * 4, full->pixels() + ((y + 110) * 451 + 190) * 4,
                        60 * 4);
        ASSERT_TRUE(ImageIO::sharedInstance().writeImage(small, photo));
    }
    Session s;
    ASSERT_TRUE(s.loadImage(photo));
    const CImage& in = *s.mOriginalImage;
    struct Case {
        DeblurType type;
        std::function<void(CImage&, int)> call;  // one channel with the preset's constants
    };
    const int step = 3;
    const double r = 1.5;
    const Case cases[] = {
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
    for (const Case& k : cases) {
        CImage expected(60, 40);
        for (int c = 1; c <= 3; ++c) k.call(expected, c);
        s.deblurStep(step, k.type, -1, 0, -1, 0, 0);
        ImageRef got = s.deblurredImage(DeblurredEntry{k.type, step, -1, {}});
        ASSERT_TRUE(got) << k.type;
        EXPECT_EQ(std::memcmp(got->pixels(), expected.pixels(), 60 * 40 * 4), 0) << k.type;
    }
}
