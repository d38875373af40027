// The box-constrained least-squares deconvolution: the reflective Newton solver followed iteration
// by iteration against a plain rendering of the method on the dense blur matrix
// (LsqTestSupport.h), its result certified by the Frank–Wolfe gap, the normal product through
// transforms against the dense one, regions outside the blur model, and cancellation.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <thread>

#include "Deconvolve.h"
#include "DeconvolveDetail.h"
#include "LsqTestSupport.h"
#include "MatrixFilter.h"
#include "MatrixImage.h"

using namespace velkaro;

using namespace deconvolve_detail;
using lsq_test::Vec;

namespace {

// The presets hand the tolerance over in single precision.
const double kPresetLoose = double(1e-6f);

double maxAbsDiff(const Vec& a, const Vec& b) {
    double m = 0;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

// Largest difference between corresponding iterates (the common part of both lists).
double iterateDiff(const std::vector<Vec>& a, const std::vector<Vec>& b) {
    double m = 0;
    for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k)
        m = std::max(m, maxAbsDiff(a[k], b[k]));
    return m;
}

// What the production solver did on one run.
struct SolverRun {
    std::vector<Vec> iterates;
    Vec x;
    SolverReport report;
};

// A blur over a w × h window: the filter matrix under test and the dense one beside it.
struct Blur {
    int w, h, size;
    Vec kernel;
    lsq_test::Dense dense;
    Matrix A;

    Blur(double radius, int angle, int w_, int h_)
        : w(w_),
          h(h_),
          kernel(lsq_test::kernelValues(radius, angle, size)),
          dense(lsq_test::blurMatrix(kernel, size, w, h)),
          A(w * h, w * h, kernel.data(), size, size, h, w) {}

    SolverRun solve(const Vec& bv, const Vec& startVec, double tol, int maxIterations = 2000,
                    const std::atomic<bool>* stop = nullptr,
                    const std::function<void(const Vec&)>& seen = {}) const {
        Matrix b(w * h, 1), start(w * h, 1), x(w * h, 1);
        lsq_test::fromVec(b, bv);
        lsq_test::fromVec(start, startVec);
        SolverRun run;
        const IterateObserver observer = [&](const Matrix& xi) {
            run.iterates.push_back(lsq_test::toVec(xi));
            if (seen)
                seen(run.iterates.back());
        };
        run.report = sllsbox(x, A, b, start, tol, maxIterations, stop, w, h, &observer);
        run.x = lsq_test::toVec(x);
        return run;
    }
};

SolverEnd endOf(const sllsbox_reference::Result& r) {
    using sllsbox_reference::Termination;
    return r.termination == Termination::IllConditioned   ? SolverEnd::IllConditioned
           : r.termination == Termination::IterationLimit ? SolverEnd::IterationLimit
                                                          : SolverEnd::Converged;
}

// Compares the production run with the reference run, step by step (each reference step taken
// from the production iterate) and freely. Rounding differences (sums in other orders) grow
// through a long solve of an ill-conditioned blur until they may flip a late decision, so the
// free run must match throughout only when `freeMustMatch` (short runs); otherwise it runs, and
// must match, for its first five iterations.
void compare(const std::string& name, const Blur& blur, const Vec& b, const Vec& start, double tol,
             int maxIterations = 2000, bool freeMustMatch = false) {
    SCOPED_TRACE(name);
    const SolverRun run = blur.solve(b, start, tol, maxIterations);
    const auto step =
        sllsbox_reference::sllsbox(blur.dense, b, start, tol, maxIterations, &run.iterates);
    EXPECT_EQ(step.iterates.size(), run.iterates.size());
    EXPECT_LE(iterateDiff(step.iterates, run.iterates), 1e-9);
    EXPECT_LE(maxAbsDiff(step.x, run.x), 1e-9);
    EXPECT_TRUE(endOf(step) == run.report.end);

    const auto free =
        sllsbox_reference::sllsbox(blur.dense, b, start, tol, freeMustMatch ? maxIterations : 6);
    EXPECT_LE(iterateDiff(free.iterates, run.iterates), 1e-9);
    if (freeMustMatch) {
        EXPECT_EQ(free.iterates.size(), run.iterates.size());
        EXPECT_LE(maxAbsDiff(free.x, run.x), 1e-9);
        EXPECT_TRUE(endOf(free) == run.report.end);
    }
}

Vec crop(const CImage& image, int channel, int x, int y, int w, int h) {
    Matrix m(w * h, 1);
    ImageToMatrix(m, image, channel, x, y, w, h);
    return lsq_test::toVec(m);
}

}  // namespace

TEST(LsqReference, TheSolverFollowsTheMethodIterationByIteration) {
    struct Observed {
        std::string name;
        double radius;
        int angle, w, h;
        Vec b;
    };
    std::vector<Observed> list;
    std::mt19937 rng(4711);
    const struct {
        double radius;
        int angle, w, h;
    } random[] = {{1.0, -1, 12, 12}, {1.5, -1, 12, 12}, {2.0, -1, 12, 12},
                  {2.0, 30, 12, 12}, {1.5, -1, 16, 14}, {2.0, 30, 16, 14}};
    for (const auto& r : random) {
        const Blur blur(r.radius, r.angle, r.w, r.h);
        list.push_back({"random", r.radius, r.angle, r.w, r.h,
                        lsq_test::randomObservation(blur.dense, rng, 0.02)});
    }
    const CImage camera = lsq_test::loadSample("camera.png");
    const CImage astronaut = lsq_test::loadSample("astronaut.png");
    ASSERT_TRUE(camera.width() > 0 && astronaut.width() > 0);
    list.push_back({"camera", 1.5, -1, 20, 20, crop(camera, 1, 240, 180, 20, 20)});
    list.push_back({"astronaut", 2.0, -1, 20, 20, crop(astronaut, 2, 200, 120, 20, 20)});
    const double tolerances[] = {kPresetLoose, double(1e-12f), 1e-14};
    for (const Observed& o : list) {
        const Blur blur(o.radius, o.angle, o.w, o.h);
        for (const bool fromB : {true, false})
            for (double tol : tolerances)
                compare(o.name + " r" + std::to_string(o.radius) + " a" + std::to_string(o.angle) +
                            " " + std::to_string(o.w) + (fromB ? " from b" : " from 0.5") +
                            " tol " + std::to_string(tol),
                        blur, o.b, fromB ? o.b : Vec(o.b.size(), 0.5), tol, 2000,
                        tol == kPresetLoose);
    }
}

// The iteration limit (the counter starts at 1) and a start that already solves the problem
// (zero gradient: the ill-conditioning line at once).
TEST(LsqReference, TheLimitAndTheIllConditioningEndingsMatch) {
    const Blur blur(1.5, -1, 12, 12);
    std::mt19937 rng(99);
    const Vec b = lsq_test::randomObservation(blur.dense, rng, 0.02);
    for (int limit : {1, 2, 3, 7})
        compare("limit " + std::to_string(limit), blur, b, b, 1e-14, limit, true);
    const Vec dark(144, 0.0);
    compare("dark from 0", blur, dark, dark, 1e-14, 2000, true);
    compare("dark from 0.5", blur, dark, Vec(144, 0.5), 1e-14, 2000, false);
}

// The small trust-region problem on its branches that the least-squares solves rarely reach:
// indefinite and singular H, a gradient orthogonal to the lowest eigenvector (the hard case),
// Newton steps just inside and outside 1.2·delta.
TEST(LsqReference, TheTrustRegionStepMatchesOnItsBranches) {
    int branches[6] = {};
    auto check = [&](const Vec& g, const Vec& H, double delta) {
        const int k = int(g.size());
        Matrix gm(k, 1), Hm(k, k), s(k, 1);
        lsq_test::fromVec(gm, g);
        std::copy(H.begin(), H.end(), Hm.rwData());
        trust(s, gm, Hm, delta);
        int branch = -1;
        const Vec ref = sllsbox_reference::trust(g, H, delta, &branch);
        ++branches[branch];
        for (int i = 0; i < k; ++i)
            EXPECT_NEAR(s.roData()[i], ref[i], 1e-9 * (1 + std::fabs(ref[i])))
                << "k " << k << " delta " << delta << " branch " << branch << " element " << i;
    };
    check({0}, {-1}, 1);
    check({1, 0}, {2, 0, 0, 1}, 1);
    check({0, 0.1}, {-1, 0, 0, 2}, 1);  // the hard case
    check({0.3, -0.2}, {1, 1, 1, 1}, 0.5);
    // Hard cases whose step along the other eigenvector is short (filled up to delta), inside
    // 0.8 … 1.2·delta (kept) and long (lambda from the zero finder after all).
    for (double g2 : {1.5, 2.7, 3.3, 4.2}) check({0, g2}, {-1, 0, 0, 2}, 1);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-2, 2);
    const double deltas[] = {0.05, 0.5, 1, 5};
    for (int trial = 0; trial < 400; ++trial) {
        const int k = 1 + trial % 2;
        Vec g(k), H(k * k);
        for (double& v : g) v = trial % 7 == 3 ? 0.0 : u(rng);
        if (k == 1) {
            H[0] = u(rng);
        } else if (trial % 3 == 0) {  // positive semi-definite: BᵀB
            const double a = u(rng), b = u(rng), c = u(rng), d = u(rng);
            H = {a * a + c * c, a * b + c * d, a * b + c * d, b * b + d * d};
        } else {
            H[0] = u(rng), H[1] = H[2] = u(rng), H[3] = u(rng);
        }
        check(g, H, deltas[trial % 4]);
    }
    EXPECT_GT(branches[0], 0);  // the Newton step
    EXPECT_GT(branches[2], 0);  // lambda from the secular equation
    EXPECT_GT(branches[3], 0);  // no zero: lambda = −mineig
}

// Tight tolerances reach the optimum of an independent reference solve. The convergence tests are
// relative to |q| with q = ½‖A·x − b‖² − ½‖b‖² (the solver's objective), and the square-root test
// with its progress ratio may end a slow stretch early: at 1e-14 q is within 1e-5 of its optimum,
// at 1e-16 within 1e-6. Every run stays in the box and never lets the objective rise.
TEST(LsqSolver, ReachesTheOptimumOfSmallRandomProblemsAtATightTolerance) {
    std::mt19937 rng(2024);
    for (const auto& [radius, angle] :
         {std::pair{1.0, -1}, std::pair{1.5, -1}, std::pair{2.0, -1}, std::pair{2.0, 30}})
        for (int trial = 0; trial < 3; ++trial) {
            SCOPED_TRACE(testing::Message() << radius << " " << angle << " trial " << trial);
            const Blur blur(radius, angle, 12, 12);
            const Vec b = lsq_test::randomObservation(blur.dense, rng, 0.02);
            double halfBB = 0;
            for (double v : b) halfBB += 0.5 * v * v;
            double gap = 0;
            const double best = lsq_test::objective(
                blur.dense, b, lsq_test::referenceSolve(blur.dense, b, b, &gap));
            ASSERT_LE(gap, 1e-9 * best) << "the reference is not certified";
            // Run to its limit (1e-24) the least-squares residual itself is within 1e-6.
            const Vec x24 = blur.solve(b, b, 1e-24).x;
            for (double v : x24) ASSERT_TRUE(v >= 0 && v <= 1);
            EXPECT_LE(lsq_test::objective(blur.dense, b, x24), best * (1 + 1e-6));
            for (const auto& [tol, qShare] : {std::pair{1e-14, 1e-5}, std::pair{1e-16, 1e-6}}) {
                const SolverRun run = blur.solve(b, b, tol);
                for (double v : run.x) ASSERT_TRUE(v >= 0 && v <= 1);
                double previous = 1e300;
                for (const Vec& xi : run.iterates) {
                    const double f = lsq_test::objective(blur.dense, b, xi);
                    ASSERT_LE(f, previous * (1 + 1e-12) + 1e-15);
                    previous = f;
                }
                const double f = lsq_test::objective(blur.dense, b, run.x);
                EXPECT_LE(f - best, qShare * std::fabs(best - halfBB)) << "tolerance " << tol;
                EXPECT_GE(f, best - gap - 1e-12);
            }
        }
}

// The normal product through transforms against the written-out blur, on one and two columns:
// discs and a slanted segment, square and oblong images, and images only a little wider than the
// kernel's reach (the mirrored rows and columns then fold back onto almost every pixel).
TEST(LsqSolver, NormalProductThroughTransformsEqualsTheDenseOne) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> u(-1, 1);
    const struct {
        double radius;
        int angle, w, h;
    } cases[] = {{2.5, -1, 13, 9}, {3.5, 40, 11, 15}, {4.5, -1, 6, 5},
                 {1.0, 0, 2, 7},   {4.5, -1, 7, 6},   {7.5, -1, 40, 33}};
    for (const auto& c : cases) {
        const Blur blur(c.radius, c.angle, c.w, c.h);
        SCOPED_TRACE(testing::Message() << "size " << blur.size << " " << blur.w << "x" << blur.h);
        const int n = blur.w * blur.h;
        const FilterNormalTransform transform(blur.A);
        for (int p = 1; p <= 2; ++p) {
            Vec x(std::size_t(n) * p), y(std::size_t(n) * p);
            for (double& v : x) v = u(rng);
            transform.apply(y.data(), x.data(), p);
            for (int q = 0; q < p; ++q) {
                Vec column(n);
                for (int i = 0; i < n; ++i) column[i] = x[std::size_t(i) * p + q];
                const Vec expected = sllsbox_reference::ata(blur.dense, column);
                for (int i = 0; i < n; ++i)
                    ASSERT_NEAR(y[std::size_t(i) * p + q], expected[i], 1e-13) << "pixel " << i;
            }
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
                   {1, 7, 11, 3, 3.0}};
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
                EXPECT_TRUE(o[2] == i[2] && o[1] == 33 && o[3] == 33) << r.w << "x" << r.h;
            }
    }
    // One pixel more each way and the solver runs (the kernel's half-width 2 fits in 3 × 3).
    CImage out = patterned(3, 3, 33);
    deconvolve_sllsbox(in, out, 2, 2.0, kPresetLoose, 0, -1, 0, 0, 3, 3, nullptr, &stop);
}

// A flag set on entry leaves the output alone; the solver stops at the iteration the flag is seen
// and keeps that iterate.
TEST(LsqCancel, AFlagSetOnEntryOrBetweenIterationsStopsThere) {
    const CImage in = randomImage(40, 30, 1);
    for (int passes : {0, 2}) {
        CImage out = patterned(32, 24, 77);
        std::atomic<bool> stop{true};
        double residual = -3;
        deconvolve_sllsbox(in, out, 1, 2.0, 1e-12, passes, -1, 4, 3, 32, 24, &residual, &stop);
        EXPECT_TRUE(sameBytes(out, patterned(32, 24, 77))) << passes;
        EXPECT_EQ(residual, -3);
    }
    const Blur blur(2.0, -1, 24, 24);
    const Vec b = crop(randomImage(24, 24, 6), 2, 0, 0, 24, 24);
    std::atomic<bool> stop{false};
    int calls = 0;
    const SolverRun run =
        blur.solve(b, b, 1e-14, 2000, &stop, [&](const Vec&) { stop = ++calls == 3; });
    ASSERT_EQ(run.iterates.size(), 3u);
    EXPECT_EQ(run.x, run.iterates.back());
    EXPECT_TRUE(run.report.end == SolverEnd::Cancelled);
}

namespace {

// Runs `solve` on this thread while another thread sets the flag once the solver has made
// `after` products with AᵀA. Returns how many products were started after the flag was set.
template <class Solve>
long cancelMidSolve(std::atomic<bool>& stop, long after, Solve solve) {
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
    EXPECT_GE(atFlag, 0) << "the solve ended before the flag was set";
    return stats.ataProducts - atFlag;
}

}  // namespace

// A direct solve writes the iterate it had; a multi-pass run cancelled inside its second pass
// writes nothing. Nothing further is computed in either.
TEST(LsqCancel, AFlagSetMidSolveIsSeenWithinOneProduct) {
    const CImage in = lsq_test::loadSample("camera.png");
    const int w = 96, h = 80;
    std::atomic<bool> stop{false};
    CImage out = patterned(w, h, 77);
    double residual = -3;
    EXPECT_LE(cancelMidSolve(stop, 40,
                             [&] {
                                 deconvolve_sllsbox(in, out, 1, 3.0, 1e-14, 0, -1, 200, 100, w, h,
                                                    &residual, &stop);
                             }),
              1);
    EXPECT_FALSE(sameBytes(out, patterned(w, h, 77)));
    EXPECT_EQ(residual, -3);

    SllsboxStats one;  // the products of one pass, to cancel well inside the second
    SetSllsboxStatsSink(&one);
    std::atomic<bool> never{false};
    deconvolve_sllsbox(in, out, 1, 3.0, kPresetLoose, 0, -1, 200, 100, w, h, nullptr, &never);
    SetSllsboxStatsSink(nullptr);
    stop = false;
    out = patterned(w, h, 77);
    EXPECT_LE(cancelMidSolve(stop, one.ataProducts + 5,
                             [&] {
                                 deconvolve_sllsbox(in, out, 1, 3.0, kPresetLoose, 3, -1, 200, 100,
                                                    w, h, nullptr, &stop);
                             }),
              1);
    EXPECT_TRUE(sameBytes(out, patterned(w, h, 77)));
}
