// The reflective Newton solver and the deconvolution entry point: optimality against an
// independent reference, monotone progress at the presets' tolerances, cancellation, the
// identity blur, regions outside the blur model and the argument checks.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "Deconvolve.h"
#include "DeconvolveDetail.h"
#include "LsqTestSupport.h"
#include "MatrixFilter.h"
#include "MatrixImage.h"
#include "MatrixOps.h"

using namespace deconvolve_detail;
using lsq_test::Vec;

namespace {

// The presets hand the tolerance over in single precision.
const double kPresetLoose = double(1e-6f);
const double kPresetTight = double(1e-12f);

// A blur over a w × h window: the filter matrix under test and the dense problem beside it.
struct Case {
    int w, h, size;
    Vec kernel;
    Matrix A;
    lsq_test::Problem problem;
    Matrix b;

    Case(double radius, int angle, int w_, int h_, const Vec& observed)
        : w(w_),
          h(h_),
          kernel(lsq_test::kernelValues(radius, angle, size)),
          A(w * h, w * h, kernel.data(), size, size, h, w),
          problem(lsq_test::blurMatrix(kernel, size, w, h), observed),
          b(w * h, 1) {
        lsq_test::fromVec(b, observed);
    }

    // Runs the solver from `start` and records ½‖A·x − b‖² of every outer iterate, and the
    // solver's report.
    Vec solve(const Vec& start, double tol, std::vector<double>* trace = nullptr,
              int maxIterations = 2000, SolverReport* report = nullptr) {
        Matrix x(w * h, 1), s(w * h, 1);
        lsq_test::fromVec(s, start);
        IterateObserver observer = [&](const Matrix& xi) {
            if (trace)
                trace->push_back(problem.objective(lsq_test::toVec(xi)));
        };
        const SolverReport r = sllsbox(x, A, b, s, tol, maxIterations, nullptr, w, h, &observer);
        if (report)
            *report = r;
        return lsq_test::toVec(x);
    }
};

Vec observedCrop(const CImage& image, int channel, int x, int y, int w, int h) {
    Matrix m(w * h, 1);
    ImageToMatrix(m, image, channel, x, y, w, h);
    return lsq_test::toVec(m);
}

void expectInBox(const Vec& x) {
    for (double v : x) {
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 1);
    }
}

void expectNonIncreasing(const std::vector<double>& trace) {
    for (std::size_t k = 1; k < trace.size(); ++k)
        ASSERT_LE(trace[k], trace[k - 1] * (1 + 1e-12) + 1e-15) << "outer iteration " << k;
}

// Share of the possible decrease, from the start down to the reference optimum, achieved.
double decreaseShare(const lsq_test::Problem& p, const Vec& start, const Vec& x, double best) {
    const double f0 = p.objective(lsq_test::clampBox(start));
    return (f0 - p.objective(x)) / (f0 - best);
}

}  // namespace

// Tight tolerances reach the optimum. The convergence tests are relative to |q| with
// q = ½‖A·x − b‖² − ½‖b‖² (the solver's objective), and the square-root test with its progress
// ratio may end a slow stretch early: at 1e-14 q is within 1e-5 of its optimum (observed: up to
// 4e-6), at 1e-16 within 1e-6; run to its limit (1e-24) the least-squares residual itself is
// within 1e-6 of the optimum.
TEST(LsqSolver, ReachesTheOptimumOfSmallRandomProblemsAtATightTolerance) {
    const struct {
        double radius;
        int angle;
    } blurs[] = {{1.0, -1}, {1.5, -1}, {2.0, -1}, {2.0, 30}};
    std::mt19937 rng(2024);
    for (const auto& blur : blurs) {
        for (int trial = 0; trial < 3; ++trial) {
            int size;
            const Vec k = lsq_test::kernelValues(blur.radius, blur.angle, size);
            const Vec bv =
                lsq_test::randomObservation(lsq_test::blurMatrix(k, size, 12, 12), rng, 0.02);
            Case c(blur.radius, blur.angle, 12, 12, bv);
            double gap = 0;
            const Vec ref = lsq_test::referenceSolve(c.problem, bv, &gap);
            const double best = c.problem.objective(ref);
            ASSERT_LE(gap, 1e-9 * best) << "the reference is not certified";
            const double qBest = std::fabs(best - c.problem.half_bb);

            const struct { double tol, qShare; } levels[] = {{1e-14, 1e-5}, {1e-16, 1e-6}};
            for (const auto& level : levels) {
                std::vector<double> trace;
                const Vec x = c.solve(bv, level.tol, &trace);
                expectInBox(x);
                expectNonIncreasing(trace);
                const double f = c.problem.objective(x);
                EXPECT_LE(f - best, level.qShare * qBest)
                    << blur.radius << " " << blur.angle << " tolerance " << level.tol;
                EXPECT_GE(f, best - gap - 1e-12);
            }
            const Vec xl = c.solve(bv, 1e-24);
            expectInBox(xl);
            EXPECT_LE(c.problem.objective(xl), best * (1 + 1e-6))
                << blur.radius << " " << blur.angle;
        }
    }
}

// At the presets' tolerances the stopping rule (square root of the tolerance, relative to |q|,
// with a progress ratio) ends the solve early by design; what must hold is steady descent inside
// the box and most of the possible decrease. Where ½‖b‖² dwarfs that decrease (bright regions)
// or the region is dark (the rule's "1 +" dominates) the solve ends earliest.
TEST(LsqSolver, PresetTolerancesDescendMonotonicallyAndGetMostOfTheWay) {
    std::mt19937 rng(77);
    const CImage images[2] = {lsq_test::loadSample("camera.png"),
                              lsq_test::loadSample("astronaut.png")};
    ASSERT_GT(images[0].width(), 0);
    ASSERT_GT(images[1].width(), 0);
    struct Data {
        double radius;
        int angle;
        int w, h;
        Vec b;
    };
    std::vector<Data> data;
    for (int k = 0; k < 3; ++k) {  // random observations
        const double radius = 1.0 + 0.5 * k;
        const int angle = k == 2 ? 60 : -1;
        int size;
        const Vec kernel = lsq_test::kernelValues(radius, angle, size);
        data.push_back(
            {radius, angle, 16, 14,
             lsq_test::randomObservation(lsq_test::blurMatrix(kernel, size, 16, 14), rng, 0.02)});
    }
    for (int k = 0; k < 8; ++k) {  // photographs as they are
        const CImage& image = images[k % 2];
        const int x = int(rng() % unsigned(image.width() - 20));
        const int y = int(rng() % unsigned(image.height() - 20));
        data.push_back(
            {1.0 + 0.5 * (k % 5), -1, 20, 20, observedCrop(image, 1 + k % 3, x, y, 20, 20)});
    }
    {  // a photograph blurred by the kernel, with a little noise
        int size;
        const Vec kernel = lsq_test::kernelValues(2.5, -1, size);
        const Vec sharp = observedCrop(images[0], 2, 300, 260, 20, 20);
        Vec b = lsq_test::multiply(lsq_test::blurMatrix(kernel, size, 20, 20), sharp);
        std::normal_distribution<double> noise(0, 0.005);
        for (double& v : b) v = std::clamp(v + noise(rng), 0.0, 1.0);
        data.push_back({2.5, -1, 20, 20, b});
    }

    const double tolerances[] = {kPresetLoose, kPresetTight};
    const double leastShare[] = {0.5, 0.95};
    const double meanShare[] = {0.8, 0.99};
    double shareSum[2] = {0, 0};
    int counted = 0;
    for (std::size_t d = 0; d < data.size(); ++d) {
        Case c(data[d].radius, data[d].angle, data[d].w, data[d].h, data[d].b);
        double gap = 0;
        const Vec ref = lsq_test::referenceSolve(c.problem, data[d].b, &gap);
        const double best = c.problem.objective(ref);
        ASSERT_LE(gap, 1e-8 * (best + 1e-6)) << d << ": the reference is not certified";
        const double possible = c.problem.objective(data[d].b) - best;
        if (possible < 1e-9)
            continue;  // already optimal (a flat region)
        ++counted;
        for (int t = 0; t < 2; ++t) {
            std::vector<double> trace;
            const Vec x = c.solve(data[d].b, tolerances[t], &trace);
            expectInBox(x);
            expectNonIncreasing(trace);
            const double share = decreaseShare(c.problem, data[d].b, x, best);
            shareSum[t] += share;
            EXPECT_GE(share, leastShare[t]) << "case " << d << " tolerance " << tolerances[t];
        }
    }
    ASSERT_GT(counted, 8);
    for (int t = 0; t < 2; ++t)
        EXPECT_GE(shareSum[t] / counted, meanShare[t]) << "tolerance " << tolerances[t];
}

namespace {

// A w × h output whose every byte holds `fill`.
CImage patterned(int w, int h, std::uint8_t fill) {
    CImage o(w, h);
    std::fill(o.pixels(), o.pixels() + std::size_t(w) * h * 4, fill);
    return o;
}

bool sameBytes(const CImage& a, const CImage& b) {
    return a.width() == b.width() && a.height() == b.height() &&
           std::equal(a.pixels(), a.pixels() + std::size_t(a.width()) * a.height() * 4, b.pixels());
}

// A random w × h opaque image.
CImage randomImage(int w, int h, unsigned seed) {
    CImage image(w, h);
    std::mt19937 rng(seed);
    for (std::size_t k = 0; k < std::size_t(w) * h * 4; ++k)
        image.pixels()[k] = k % 4 == 0 ? 255 : std::uint8_t(rng() % 256);
    return image;
}

}  // namespace

TEST(LsqMethod, RadiusOneHalfIsTheIdentity) {
    const CImage in = lsq_test::loadSample("astronaut.png");
    const int x = 100, y = 140, w = 40, h = 30;
    CImage out = patterned(w, h, 9);
    double residual = -1;
    std::atomic<bool> stop{false};
    deconvolve_sllsbox(in, out, 2, 0.5, kPresetLoose, 0, -1, x, y, w, h, &residual, &stop);
    EXPECT_EQ(residual, 0);
    // The result is the observed channel itself, through the same encoding.
    Matrix b(w * h, 1);
    ImageToMatrix(b, in, 2, x, y, w, h);
    CImage expected = patterned(w, h, 9);
    MatrixToImage(expected, 2, b);
    EXPECT_TRUE(sameBytes(out, expected));
}

TEST(LsqMethod, ResidualIsThatOfTheSolution) {
    const CImage in = randomImage(30, 20, 4);
    const int x = 5, y = 3, w = 16, h = 12;
    CImage out = patterned(w, h, 0);
    double residual = -1;
    std::atomic<bool> stop{false};
    deconvolve_sllsbox(in, out, 1, 1.5, kPresetTight, 0, -1, x, y, w, h, &residual, &stop);
    // The same solve through the solver directly, measured with the dense blur.
    Matrix b(w * h, 1);
    ImageToMatrix(b, in, 1, x, y, w, h);
    Case c(1.5, -1, w, h, lsq_test::toVec(b));
    const Vec xs = c.solve(lsq_test::toVec(b), kPresetTight);
    EXPECT_NEAR(residual, 2 * c.problem.objective(xs), 1e-10);
    EXPECT_LT(residual, 2 * c.problem.objective(lsq_test::toVec(b)));
}

TEST(LsqMethod, OnePassAveragesTheSolvesFromZeroAndOne) {
    const CImage in = randomImage(20, 20, 8);
    const int w = 14, h = 12;
    CImage out = patterned(w, h, 0);
    std::atomic<bool> stop{false};
    deconvolve_sllsbox(in, out, 3, 1.0, kPresetTight, 1, -1, 2, 4, w, h, nullptr, &stop);

    Matrix b(w * h, 1);
    ImageToMatrix(b, in, 3, 2, 4, w, h);
    Case c(1.0, -1, w, h, lsq_test::toVec(b));
    const Vec x0 = c.solve(Vec(w * h, 0.0), kPresetTight);
    const Vec x1 = c.solve(Vec(w * h, 1.0), kPresetTight);
    Matrix mean(w * h, 1);
    for (int k = 0; k < w * h; ++k) mean.rwData()[k] = 0.5 * (x0[k] + x1[k]);
    CImage expected = patterned(w, h, 0);
    MatrixToImage(expected, 3, mean);
    EXPECT_TRUE(sameBytes(out, expected));
}

TEST(LsqMethod, RegionsOutsideTheBlurModelPassTheChannelThrough) {
    const CImage in = randomImage(12, 10, 2);
    std::atomic<bool> stop{false};
    const struct {
        int x, y, w, h;
        double radius;
    } regions[] = {{3, 4, 1, 1, 0.5},
                   {3, 4, 1, 1, 2.0},
                   {0, 0, 2, 7, 2.0},
                   {9, 2, 3, 8, 3.0},
                   {1, 7, 12 - 1, 3, 3.0}};
    for (const auto& r : regions) {
        CImage out = patterned(r.w, r.h, 33);
        double residual = -7;
        deconvolve_sllsbox(in, out, 2, r.radius, kPresetLoose, 0, -1, r.x, r.y, r.w, r.h, &residual,
                           &stop);
        EXPECT_EQ(residual, -7);
        for (int yy = 0; yy < r.h; ++yy)
            for (int xx = 0; xx < r.w; ++xx) {
                const std::uint8_t* o = out.pixels() + (yy * r.w + xx) * 4;
                const std::uint8_t* i = in.pixels() + ((r.y + yy) * in.width() + r.x + xx) * 4;
                EXPECT_EQ(o[2], i[2]) << r.w << "x" << r.h;
                EXPECT_EQ(o[1], 33);
                EXPECT_EQ(o[3], 33);
            }
    }
    // One pixel more each way and the solver runs (the kernel's half-width 2 fits in 3 × 3).
    CImage out = patterned(3, 3, 33);
    deconvolve_sllsbox(in, out, 2, 2.0, kPresetLoose, 0, -1, 0, 0, 3, 3, nullptr, &stop);
}

TEST(LsqMethod, MemoryEstimate) {
    // 14 vectors of doubles per pixel of the region, the kernel twice, the output image's
    // pixels, and the two transform planes when the region is small enough for them and the kernel
    // large enough.
    const CImage in(64, 48);
    const CImage out(20, 10);
    EXPECT_EQ(deconvolve_sllsbox_mem_usage(in, out, 1, 2.0, 1e-4, 0, -1, 0, 0, 20, 10, nullptr),
              16 * 25 + 112 * 200 + 4 * 200);
    const CImage cell(512, 512);
    const std::int64_t planes = FilterNormalTransform::bytes(15, 15, 512, 512);
    EXPECT_GT(planes, 2 * 8 * 512 * 512);
    EXPECT_EQ(
        deconvolve_sllsbox_mem_usage(cell, cell, 1, 7.5, 1e-4, 0, -1, 0, 0, 512, 512, nullptr),
        16 * 225 + 112 * 512 * 512 + 4 * 512 * 512 + planes);
    // A full-size photograph does not overflow, and its products are direct.
    const CImage big(1, 1);
    EXPECT_EQ(
        deconvolve_sllsbox_mem_usage(big, big, 1, 4.0, 1e-4, 0, -1, 0, 0, 8000, 6000, nullptr),
        16LL * 81 + 112LL * 48000000 + 4);
}

TEST(LsqMethodDeathTest, RegionChecks) {
    const CImage in(20, 10);
    CImage out(8, 6);
    std::atomic<bool> stop{false};
    EXPECT_DEATH(deconvolve_sllsbox(in, out, 1, 1.0, 1e-6, 0, -1, 0, 0, 7, 6, nullptr, &stop),
                 "w == o.width\\(\\)");
    EXPECT_DEATH(deconvolve_sllsbox(in, out, 1, 1.0, 1e-6, 0, -1, 0, 0, 8, 5, nullptr, &stop),
                 "h == o.height\\(\\)");
    EXPECT_DEATH(deconvolve_sllsbox(in, out, 1, 1.0, 1e-6, 0, -1, 13, 0, 8, 6, nullptr, &stop),
                 "i.width\\(\\) - x >= w");
    EXPECT_DEATH(deconvolve_sllsbox(in, out, 1, 1.0, 1e-6, 0, -1, 12, 5, 8, 6, nullptr, &stop),
                 "i.height\\(\\) - y >= h");
    EXPECT_DEATH(deconvolve_sllsbox(in, out, 1, 1.0, 1e-6, 0, -1, -1, 0, 8, 6, nullptr, &stop),
                 "x >= 0");
    // The right and bottom edges themselves are fine.
    deconvolve_sllsbox(in, out, 1, 1.0, 1e-6, 0, -1, 12, 4, 8, 6, nullptr, &stop);
}

TEST(LsqCancel, AFlagSetOnEntryLeavesTheOutputAlone) {
    const CImage in = randomImage(40, 30, 1);
    for (int passes : {0, 2}) {
        CImage out = patterned(32, 24, 77);
        const CImage before = patterned(32, 24, 77);
        std::atomic<bool> stop{true};
        double residual = -3;
        deconvolve_sllsbox(in, out, 1, 2.0, 1e-12, passes, -1, 4, 3, 32, 24, &residual, &stop);
        EXPECT_TRUE(sameBytes(out, before)) << passes;
        EXPECT_EQ(residual, -3);
    }
}

TEST(LsqCancel, TheSolverStopsAtTheIterationTheFlagIsSeenAndKeepsItsIterate) {
    const CImage in = randomImage(24, 24, 6);
    Matrix b(24 * 24, 1);
    ImageToMatrix(b, in, 2, 0, 0, 24, 24);
    Case c(2.0, -1, 24, 24, lsq_test::toVec(b));
    std::atomic<bool> stop{false};
    int calls = 0;
    Vec seen;
    IterateObserver observer = [&](const Matrix& xi) {
        ++calls;
        if (calls == 3) {
            seen = lsq_test::toVec(xi);
            stop = true;
        }
    };
    Matrix x(24 * 24, 1);
    sllsbox(x, c.A, c.b, c.b, 1e-14, 2000, &stop, 24, 24, &observer);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(lsq_test::toVec(x), seen);
}

namespace {

// Runs `solve` on this thread while another thread sets the flag once the solver has made
// `after` products with AᵀA. Returns how many products were started after the flag was set.
template <class Solve>
long cancelMidSolve(std::atomic<bool>& stop, long after, Solve solve, bool& setDuringSolve) {
    SllsboxStats stats;
    SetSllsboxStatsSink(&stats);
    std::atomic<bool> finished{false};
    long atFlag = -1;
    std::thread canceller([&] {
        while (!finished && stats.ataProducts < after) std::this_thread::yield();
        if (finished)
            return;
        stop = true;
        atFlag = stats.ataProducts;
    });
    solve();
    finished = true;
    canceller.join();
    SetSllsboxStatsSink(nullptr);
    setDuringSolve = atFlag >= 0;
    return stats.ataProducts - atFlag;
}

}  // namespace

TEST(LsqCancel, AFlagSetMidSolveIsSeenWithinOneProduct) {
    const CImage in = lsq_test::loadSample("camera.png");
    const int w = 96, h = 80;
    // A direct solve writes the iterate it had; nothing further is computed.
    {
        std::atomic<bool> stop{false};
        CImage out = patterned(w, h, 77);
        bool during = false;
        double residual = -3;
        const long late = cancelMidSolve(
            stop, 40,
            [&] {
                deconvolve_sllsbox(in, out, 1, 3.0, 1e-14, 0, -1, 200, 100, w, h, &residual, &stop);
            },
            during);
        ASSERT_TRUE(during);
        EXPECT_LE(late, 1);
        EXPECT_FALSE(sameBytes(out, patterned(w, h, 77)));
        EXPECT_EQ(residual, -3);
    }
    // A multi-pass run cancelled after about one solve's worth of products writes nothing.
    {
        std::atomic<bool> stop{false};
        CImage out = patterned(w, h, 77);
        bool during = false;
        long products = 0;
        {
            // Count the products of one pass first, to cancel well inside the second.
            SllsboxStats one;
            SetSllsboxStatsSink(&one);
            std::atomic<bool> never{false};
            CImage scratch = patterned(w, h, 0);
            deconvolve_sllsbox(in, scratch, 1, 3.0, kPresetLoose, 0, -1, 200, 100, w, h, nullptr,
                               &never);
            SetSllsboxStatsSink(nullptr);
            products = one.ataProducts;
        }
        const long late = cancelMidSolve(
            stop, products + 5,
            [&] {
                deconvolve_sllsbox(in, out, 1, 3.0, kPresetLoose, 3, -1, 200, 100, w, h, nullptr,
                                   &stop);
            },
            during);
        ASSERT_TRUE(during);
        EXPECT_LE(late, 1);
        EXPECT_TRUE(sameBytes(out, patterned(w, h, 77)));
    }
}

TEST(LsqSolver, TheIterationLimitCountsFromOne) {
    const CImage in = randomImage(16, 16, 12);
    Matrix b(16 * 16, 1);
    ImageToMatrix(b, in, 1, 0, 0, 16, 16);
    Case c(2.0, -1, 16, 16, lsq_test::toVec(b));
    for (int limit : {2, 3, 6}) {
        std::vector<double> trace;
        SolverReport report;
        const Vec x = c.solve(lsq_test::toVec(b), 1e-14, &trace, limit, &report);
        // At most limit − 1 line-search steps: the observer sees limit − 1 iterates.
        EXPECT_EQ(int(trace.size()), limit - 1);
        EXPECT_TRUE(report.end == SolverEnd::IterationLimit && report.iterations == limit);
        // q(x) = ½‖A·x − b‖² − ½‖b‖², at the returned x.
        double halfBB = 0;
        for (double v : lsq_test::toVec(b)) halfBB += 0.5 * v * v;
        EXPECT_NEAR(report.objective, c.problem.objective(x) - halfBB, 1e-9 * halfBB);
        // The result is the iterate after the last step, which improves on the last one seen.
        EXPECT_LT(c.problem.objective(x), trace.back());
    }
}
