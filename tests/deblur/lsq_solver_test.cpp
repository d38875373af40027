// The reflective Newton solver and the deconvolution entry point: optimality against an
// independent reference, monotone progress, cancellation, regions outside the blur model, and the
// normal product through transforms against the dense one.

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

    // Runs the solver from `start` and records ½‖A·x − b‖² of every outer iterate.
    Vec solve(const Vec& start, double tol, std::vector<double>* trace = nullptr) {
        Matrix x(w * h, 1), s(w * h, 1);
        lsq_test::fromVec(s, start);
        IterateObserver observer = [&](const Matrix& xi) {
            if (trace)
                trace->push_back(problem.objective(lsq_test::toVec(xi)));
        };
        sllsbox(x, A, b, s, tol, 2000, nullptr, w, h, &observer);
        return lsq_test::toVec(x);
    }
};

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

// The normal product through transforms against the written-out blur, on one and two columns:
// discs and a slanted segment, square and oblong images, and images only a little wider than the
// kernel's reach (the mirrored rows and columns then fold back onto almost every pixel).
TEST(LsqSolver, NormalProductThroughTransformsEqualsTheDenseOne) {
    const struct {
        double radius;
        int angle, w, h;
    } cases[] = {{2.5, -1, 13, 9}, {3.5, 40, 11, 15}, {4.5, -1, 6, 5},
                 {1.0, 0, 2, 7},   {4.5, -1, 7, 6},   {7.5, -1, 40, 33}};
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> u(-1, 1);
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message()
                     << "radius " << k.radius << " angle " << k.angle << " " << k.w << "x" << k.h);
        int size;
        Vec kernel = lsq_test::kernelValues(k.radius, k.angle, size);
        const int n = k.w * k.h;
        const Matrix A(n, n, kernel.data(), size, size, k.h, k.w);
        const lsq_test::Dense dense = lsq_test::blurMatrix(kernel, size, k.w, k.h);
        const FilterNormalTransform transform(A);
        for (int p = 1; p <= 2; ++p) {
            Vec x(std::size_t(n) * p), y(std::size_t(n) * p);
            for (double& v : x) v = u(rng);
            transform.apply(y.data(), x.data(), p);
            for (int q = 0; q < p; ++q) {
                Vec column(n);
                for (int i = 0; i < n; ++i) column[i] = x[std::size_t(i) * p + q];
                const Vec expected =
                    lsq_test::multiplyTransposed(dense, lsq_test::multiply(dense, column));
                for (int i = 0; i < n; ++i)
                    ASSERT_NEAR(y[std::size_t(i) * p + q], expected[i], 1e-13) << "pixel " << i;
            }
        }
    }
}
