// The box-constrained least-squares deconvolution: the reflective Newton solver's result checked
// against the optimum certified by the Frank–Wolfe gap on the dense blur matrix, the normal
// product through transforms against the dense one, regions outside the blur model, and
// cancellation.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "DeblurTestSupport.h"
#include "Deconvolve.h"
#include "Filter.h"
#include "MatrixFilter.h"
#include "MatrixImage.h"
#include "Sllsbox.h"

extern "C" void dposv_(const char* uplo, const int* n, const int* nrhs, double* a, const int* lda,
                       double* b, const int* ldb, int* info);

using namespace velkaro;
using namespace deconvolve_detail;
using deblurtest::samplePhoto;

namespace {

using Vec = std::vector<double>;

// Row-major dense n × n matrix.
struct Dense {
    int n = 0;
    Vec a;
    double operator()(int i, int j) const { return a[std::size_t(i) * n + j]; }
};

Vec multiply(const Dense& A, const Vec& x, bool transposed = false) {
    Vec r(A.n, 0.0);
    for (int i = 0; i < A.n; ++i)
        for (int j = 0; j < A.n; ++j) r[transposed ? j : i] += A(i, j) * x[transposed ? i : j];
    return r;
}

// ½‖A·x − b‖², straight from the definition.
double objective(const Dense& A, const Vec& b, const Vec& x) {
    const Vec ax = multiply(A, x);
    double s = 0;
    for (int i = 0; i < A.n; ++i) s += 0.5 * (ax[i] - b[i]) * (ax[i] - b[i]);
    return s;
}

// Aᵀ(A·x − b), the gradient of the objective.
Vec gradient(const Dense& A, const Vec& b, const Vec& x) {
    Vec r = multiply(A, x);
    for (int i = 0; i < A.n; ++i) r[i] -= b[i];
    return multiply(A, r, true);
}

// Frank–Wolfe gap gᵀx − min over the box 0 … 1 of gᵀz, g the gradient: an upper bound of
// objective(x) − optimum for any x in the box.
double gap(const Dense& A, const Vec& b, const Vec& x) {
    const Vec g = gradient(A, b, x);
    double s = 0;
    for (int i = 0; i < A.n; ++i) s += g[i] * x[i] - std::min(g[i], 0.0);
    return s;
}

// The optimum from a point near it: Newton steps on the unknowns that no bound holds (exact
// solves of the reduced normal equations by Cholesky, with a tiny ridge for flat directions), the
// others put on their bound. The Frank–Wolfe gap of the result certifies it.
Vec polish(const Dense& A, const Vec& b, Vec x) {
    const int n = A.n, one = 1;
    for (int step = 0; step < 8; ++step) {
        const Vec g = gradient(A, b, x);
        std::vector<int> free;
        for (int i = 0; i < n; ++i) {
            if (x[i] < 1e-5 && g[i] > 0)
                x[i] = 0;
            else if (x[i] > 1 - 1e-5 && g[i] < 0)
                x[i] = 1;
            else
                free.push_back(i);
        }
        const int m = int(free.size());
        const Vec h = gradient(A, b, x);       // with the held unknowns on their bounds
        Vec M(std::size_t(m) * m, 0.0), d(m);  // the free rows and columns of AᵀA
        for (int a = 0; a < m; ++a) {
            d[a] = -h[free[a]];
            for (int c = 0; c < m; ++c)
                for (int r = 0; r < n; ++r)
                    M[std::size_t(a) * m + c] += A(r, free[a]) * A(r, free[c]);
            M[std::size_t(a) * m + a] *= 1 + 1e-13;
        }
        int info = 0;
        if (m > 0)
            dposv_("L", &m, &one, M.data(), &m, d.data(), &m, &info);
        if (info != 0)
            std::abort();
        for (int a = 0; a < m; ++a) x[free[a]] = std::clamp(x[free[a]] + d[a], 0.0, 1.0);
    }
    return x;
}

struct Result {  // of a run of the solver
    Vec x;
    std::vector<Vec> iterates;  // x at the top of every outer iteration
    SolverEnd end = SolverEnd::Converged;
};

Vec ata(const Dense& A, const Vec& x) {
    return multiply(A, multiply(A, x), true);
}

Vec toVec(const Matrix& m) {
    return Vec(m.roData(), m.roData() + m.rows());
}

// A random observed channel: a random sharp channel partly outside the box, blurred, plus noise.
Vec randomObservation(const Dense& A, std::mt19937& rng, double noise) {
    std::uniform_real_distribution<double> sharp(-0.15, 1.15);
    std::normal_distribution<double> gauss(0.0, noise);
    Vec xs(A.n);
    for (double& v : xs) v = sharp(rng);
    Vec b = multiply(A, xs);
    for (double& v : b) v = std::clamp(v + gauss(rng), 0.0, 1.0);
    return b;
}

// The presets hand the tolerance over in single precision.
const double kPresetLoose = double(1e-6f);

// A blur over a w × h window: the filter matrix under test and, beside it, the blur written out
// as a dense matrix straight from the kernel: output pixel (x, y) is the sum over kernel elements
// (i, j) of K(i, j) · v(mirror(x − half + j), mirror(y − half + i)), mirrored borders without
// repeating the edge pixel.
struct Blur {
    int w, h, size;
    Vec kernel;
    Dense dense;
    Matrix A;

    Blur(double radius, int angle, int w_, int h_)
        : w(w_),
          h(h_),
          kernel(deblurtest::kernelOf(radius, angle, size)),
          dense{w * h, Vec(std::size_t(w * h) * (w * h), 0.0)},
          A(w * h, w * h, kernel.data(), size, size, h, w) {
        auto mirror = [](int t, int n) {
            return std::abs(t) < n ? std::abs(t) : 2 * (n - 1) - std::abs(t);
        };
        const int half = (size - 1) / 2;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int i = 0; i < size; ++i)
                    for (int j = 0; j < size; ++j)
                        dense.a[std::size_t(y * w + x) * dense.n + mirror(y - half + i, h) * w +
                                mirror(x - half + j, w)] += kernel[std::size_t(i) * size + j];
    }

    Result solve(const Vec& bv, const Vec& startVec, double tol, int maxIterations = 2000,
                 const std::atomic<bool>* stop = nullptr,
                 const std::function<void(const Vec&)>& seen = {}) const {
        Matrix b(w * h, 1), start(w * h, 1), x(w * h, 1);
        std::copy(bv.begin(), bv.end(), b.rwData());
        std::copy(startVec.begin(), startVec.end(), start.rwData());
        Result run;
        const IterateObserver observer = [&](const Matrix& xi) {
            run.iterates.push_back(toVec(xi));
            if (seen)
                seen(run.iterates.back());
        };
        run.end = sllsbox(x, A, b, start, tol, maxIterations, stop, w, h, &observer).end;
        run.x = toVec(x);
        return run;
    }
};

Vec crop(const CImage& image, int channel, int x, int y, int w, int h) {
    Matrix m(w * h, 1);
    ImageToMatrix(m, image, channel, x, y, w, h);
    return toVec(m);
}

// A w × h output whose every byte holds `fill`.
CImage patterned(int w, int h, std::uint8_t fill) {
    CImage o(w, h);
    std::fill(o.pixels(), o.pixels() + std::size_t(w) * h * 4, fill);
    return o;
}

bool holdsOnly(const CImage& image, std::uint8_t fill) {
    const std::uint8_t* p = image.pixels();
    return std::all_of(p, p + std::size_t(image.width()) * image.height() * 4,
                       [&](std::uint8_t v) { return v == fill; });
}

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

// Tight tolerances reach the certified optimum. The convergence tests are relative to |q| with
// q = ½‖A·x − b‖² − ½‖b‖² (the solver's objective), and the square-root test with its progress
// ratio may end a slow stretch early: at 1e-14 q is within 1e-5 of its optimum, at 1e-16 within
// 1e-6. Every run stays in the box and never lets the objective rise.
TEST(LsqSolver, ReachesTheOptimumOfSmallRandomProblemsAtATightTolerance) {
    std::mt19937 rng(2024);
    for (const auto& [radius, angle] :
         {std::pair{1.0, -1}, std::pair{1.5, -1}, std::pair{2.0, -1}, std::pair{2.0, 30}})
        for (int trial = 0; trial < 3; ++trial) {
            SCOPED_TRACE(testing::Message() << radius << " " << angle << " trial " << trial);
            const Blur blur(radius, angle, 12, 12);
            const Vec b = randomObservation(blur.dense, rng, 0.02);
            double halfBB = 0;
            for (double v : b) halfBB += 0.5 * v * v;
            // Run to its limit (1e-24) the least-squares residual itself is within 1e-6 of the
            // optimum, certified from there.
            const Vec x24 = blur.solve(b, b, 1e-24).x, optimum = polish(blur.dense, b, x24);
            const double best = objective(blur.dense, b, optimum);
            const double certified = gap(blur.dense, b, optimum);
            ASSERT_LE(certified, 1e-9 * best) << "the optimum is not certified";
            ASSERT_GE(*std::min_element(x24.begin(), x24.end()), 0);
            ASSERT_LE(*std::max_element(x24.begin(), x24.end()), 1);
            EXPECT_LE(objective(blur.dense, b, x24), best * (1 + 1e-6));
            for (const auto& [tol, qShare] : {std::pair{1e-14, 1e-5}, std::pair{1e-16, 1e-6}}) {
                const Result run = blur.solve(b, b, tol);
                ASSERT_GE(*std::min_element(run.x.begin(), run.x.end()), 0);
                ASSERT_LE(*std::max_element(run.x.begin(), run.x.end()), 1);
                double previous = 1e300;
                for (const Vec& xi : run.iterates) {
                    const double f = objective(blur.dense, b, xi);
                    ASSERT_LE(f, previous * (1 + 1e-12) + 1e-15);
                    previous = f;
                }
                const double f = objective(blur.dense, b, run.x);
                EXPECT_LE(f - best, qShare * std::fabs(best - halfBB)) << "tolerance " << tol;
                EXPECT_GE(f, best - certified - 1e-12);
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
                const Vec expected = ata(blur.dense, column);
                for (int i = 0; i < n; ++i)
                    ASSERT_NEAR(y[std::size_t(i) * p + q], expected[i], 1e-13) << "pixel " << i;
            }
        }
    }
}

TEST(LsqMethod, RegionsOutsideTheBlurModelPassTheChannelThrough) {
    const CImage in = deblurtest::testPicture(12, 10, 2);
    std::atomic<bool> stop{false};
    for (const auto& [x, y, w, h, radius] : {std::tuple{3, 4, 1, 1, 0.5},
                                             {3, 4, 1, 1, 2.0},
                                             {0, 0, 2, 7, 2.0},
                                             {9, 2, 3, 8, 3.0},
                                             {1, 7, 11, 3, 3.0}}) {
        CImage out = patterned(w, h, 33);
        double residual = -7;
        deconvolve_sllsbox(in, out, 2, radius, kPresetLoose, 0, -1, x, y, w, h, &residual, &stop);
        EXPECT_EQ(residual, -7);
        for (int k = 0; k < w * h; ++k) {
            const std::uint8_t* o = out.pixels() + k * 4;
            const std::uint8_t* i = in.pixels() + ((y + k / w) * in.width() + x + k % w) * 4;
            EXPECT_EQ((std::array<int, 3>{o[1], o[2], o[3]}), (std::array<int, 3>{33, i[2], 33}))
                << w << "x" << h;
        }
    }
    // One pixel more each way and the solver runs (the kernel's half-width 2 fits in 3 × 3).
    CImage out = patterned(3, 3, 33);
    SllsboxStats stats;
    SetSllsboxStatsSink(&stats);
    deconvolve_sllsbox(in, out, 2, 2.0, kPresetLoose, 0, -1, 0, 0, 3, 3, nullptr, &stop);
    SetSllsboxStatsSink(nullptr);
    EXPECT_EQ(stats.solves, 1);
}

// A flag set on entry leaves the output alone; the solver stops at the iteration the flag is seen
// and keeps that iterate; a flag set mid-solve is seen within one product.
TEST(LsqCancel, AFlagSetOnEntryBetweenIterationsOrMidSolveStopsThere) {
    const CImage in = deblurtest::testPicture(40, 30, 1);
    for (int passes : {0, 2}) {
        CImage out = patterned(32, 24, 77);
        std::atomic<bool> stop{true};
        double residual = -3;
        deconvolve_sllsbox(in, out, 1, 2.0, 1e-12, passes, -1, 4, 3, 32, 24, &residual, &stop);
        EXPECT_TRUE(holdsOnly(out, 77)) << passes;
        EXPECT_EQ(residual, -3);
    }
    const Blur blur(2.0, -1, 24, 24);
    const Vec b = crop(deblurtest::testPicture(24, 24, 6), 2, 0, 0, 24, 24);
    std::atomic<bool> stop{false};
    int calls = 0;
    const Result run =
        blur.solve(b, b, 1e-14, 2000, &stop, [&](const Vec&) { stop = ++calls == 3; });
    ASSERT_EQ(run.iterates.size(), 3u);
    EXPECT_EQ(run.x, run.iterates.back());
    EXPECT_TRUE(run.end == SolverEnd::Cancelled);

    // Set mid-solve, from another thread: a direct solve writes the iterate it had; a multi-pass
    // run cancelled inside its second pass writes nothing. Nothing further is computed in either.
    const CImage photo = samplePhoto("camera.png");
    const int w = 96, h = 80;
    stop = false;
    CImage out = patterned(w, h, 77);
    double residual = -3;
    EXPECT_LE(cancelMidSolve(stop, 40,
                             [&] {
                                 deconvolve_sllsbox(photo, out, 1, 3.0, 1e-14, 0, -1, 200, 100, w,
                                                    h, &residual, &stop);
                             }),
              1);
    EXPECT_FALSE(holdsOnly(out, 77));
    EXPECT_EQ(residual, -3);

    SllsboxStats one;  // the products of one pass, to cancel well inside the second
    SetSllsboxStatsSink(&one);
    std::atomic<bool> never{false};
    deconvolve_sllsbox(photo, out, 1, 3.0, kPresetLoose, 0, -1, 200, 100, w, h, nullptr, &never);
    SetSllsboxStatsSink(nullptr);
    stop = false;
    out = patterned(w, h, 77);
    EXPECT_LE(cancelMidSolve(stop, one.ataProducts + 5,
                             [&] {
                                 deconvolve_sllsbox(photo, out, 1, 3.0, kPresetLoose, 3, -1, 200,
                                                    100, w, h, nullptr, &stop);
                             }),
              1);
    EXPECT_TRUE(holdsOnly(out, 77));
}
