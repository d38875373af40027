// The reflective Newton solver followed iteration by iteration against a plain rendering of the
// same method on the dense blur matrix (SllsboxReference.h): the same number of outer
// iterations, the same iterates up to rounding, the same result and the same ending.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "DeconvolveDetail.h"
#include "LsqTestSupport.h"
#include "MatrixImage.h"
#include "SllsboxReference.h"

using lsq_test::Vec;

namespace {

struct Observed {
    std::string name;
    double radius;
    int angle;
    int w, h;
    Vec b;
};

double maxAbsDiff(const Vec& a, const Vec& b) {
    double m = 0;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

Vec crop(const CImage& image, int channel, int x, int y, int w, int h) {
    Matrix m(w * h, 1);
    ImageToMatrix(m, image, channel, x, y, w, h);
    return lsq_test::toVec(m);
}

std::vector<Observed> observations() {
    std::vector<Observed> list;
    std::mt19937 rng(4711);
    const struct {
        double radius;
        int angle, w, h;
    } random[] = {{1.0, -1, 12, 12}, {1.5, -1, 12, 12}, {2.0, -1, 12, 12},
                  {2.0, 30, 12, 12}, {1.5, -1, 16, 14}, {2.0, 30, 16, 14}};
    for (const auto& r : random) {
        int size;
        const Vec k = lsq_test::kernelValues(r.radius, r.angle, size);
        const Vec b =
            lsq_test::randomObservation(lsq_test::blurMatrix(k, size, r.w, r.h), rng, 0.02);
        char name[64];
        std::snprintf(name, sizeof name, "random %dx%d r%.1f a%d", r.w, r.h, r.radius, r.angle);
        list.push_back({name, r.radius, r.angle, r.w, r.h, b});
    }
    const CImage camera = lsq_test::loadSample("camera.png");
    const CImage astronaut = lsq_test::loadSample("astronaut.png");
    EXPECT_GT(camera.width(), 0);
    EXPECT_GT(astronaut.width(), 0);
    if (camera.width() > 0)
        list.push_back({"camera 20x20 r1.5", 1.5, -1, 20, 20, crop(camera, 1, 240, 180, 20, 20)});
    if (astronaut.width() > 0)
        list.push_back(
            {"astronaut 20x20 r2.0", 2.0, -1, 20, 20, crop(astronaut, 2, 200, 120, 20, 20)});
    return list;
}

// What the production solver did on one run.
struct Run {
    std::vector<Vec> iterates;
    Vec x;
    deconvolve_detail::SolverReport report;
};

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

    Run solve(const Vec& bv, const Vec& startVec, double tol, int maxIterations) const {
        const int n = w * h;
        Matrix b(n, 1), start(n, 1), x(n, 1);
        lsq_test::fromVec(b, bv);
        lsq_test::fromVec(start, startVec);
        Run run;
        const deconvolve_detail::IterateObserver observer = [&](const Matrix& xi) {
            run.iterates.push_back(lsq_test::toVec(xi));
        };
        run.report = deconvolve_detail::sllsbox(x, A, b, start, tol, maxIterations, nullptr, w, h,
                                                &observer);
        run.x = lsq_test::toVec(x);
        return run;
    }
};

// Largest difference between corresponding iterates (the common part of both lists).
double iterateDiff(const std::vector<Vec>& a, const std::vector<Vec>& b) {
    double m = 0;
    for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k)
        m = std::max(m, maxAbsDiff(a[k], b[k]));
    return m;
}

// The reference's ending in the production report's terms.
deconvolve_detail::SolverEnd endOf(const sllsbox_reference::Result& r) {
    using deconvolve_detail::SolverEnd;
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
    const Run run = blur.solve(b, start, tol, maxIterations);
    const auto step =
        sllsbox_reference::sllsbox(blur.dense, b, start, tol, maxIterations, &run.iterates);
    EXPECT_EQ(step.iterates.size(), run.iterates.size());
    const double stepDiff = iterateDiff(step.iterates, run.iterates);
    EXPECT_LE(stepDiff, 1e-9);
    EXPECT_LE(maxAbsDiff(step.x, run.x), 1e-9);
    EXPECT_TRUE(endOf(step) == run.report.end);

    const auto free =
        sllsbox_reference::sllsbox(blur.dense, b, start, tol, freeMustMatch ? maxIterations : 6);
    const double freeDiff = iterateDiff(free.iterates, run.iterates);
    EXPECT_LE(freeDiff, 1e-9);
    if (freeMustMatch) {
        EXPECT_EQ(free.iterates.size(), run.iterates.size());
        EXPECT_LE(maxAbsDiff(free.x, run.x), 1e-9);
        EXPECT_TRUE(endOf(free) == run.report.end);
    }
}

}  // namespace

TEST(LsqReference, TheSolverFollowsTheMethodIterationByIteration) {
    const double loose = double(1e-6f);
    const double tolerances[] = {loose, double(1e-12f), 1e-14};
    for (const Observed& o : observations()) {
        const Blur blur(o.radius, o.angle, o.w, o.h);
        for (int startKind = 0; startKind < 2; ++startKind) {
            const Vec start = startKind == 0 ? o.b : Vec(o.b.size(), 0.5);
            for (double tol : tolerances) {
                char name[96];
                std::snprintf(name, sizeof name, "%s %s tol %.0e", o.name.c_str(),
                              startKind == 0 ? "from b" : "from 0.5", tol);
                compare(name, blur, o.b, start, tol, 2000, tol == loose);
            }
        }
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
        deconvolve_detail::trust(s, gm, Hm, delta);
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
