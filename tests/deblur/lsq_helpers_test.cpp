// The small building blocks of the reflective Newton solver: box folding, the nudge off the
// bounds, the scaling vectors, the 2 × 2 eigen-decomposition, the trust-region step with its
// secular equation and zero finder, conjugate gradients, the line search and the objective.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>

#include "DeconvolveDetail.h"
#include "LsqTestSupport.h"
#include "MatrixFilter.h"
#include "MatrixOps.h"

using namespace deconvolve_detail;
using lsq_test::Vec;

namespace {

void set(Matrix& m, std::initializer_list<double> values) {
    std::copy(values.begin(), values.end(), m.rwData());
}

double at(const Matrix& m, int i) {
    return m.roData()[i];
}

// The model gᵀs + ½·sᵀHs for order 2.
double model2(const double g[2], const double H[4], double s0, double s1) {
    return g[0] * s0 + g[1] * s1 +
           0.5 * (H[0] * s0 * s0 + (H[1] + H[2]) * s0 * s1 + H[3] * s1 * s1);
}

// The minimum of the order-2 model over the disc of radius r, by brute force: a fine sweep of the
// boundary, and the interior stationary point when H is positive definite and it lies inside.
double bruteForceMin(const double g[2], const double H[4], double r) {
    double best = 0;  // s = 0
    const int steps = 200000;
    for (int k = 0; k < steps; ++k) {
        const double t = 2 * M_PI * k / steps;
        best = std::min(best, model2(g, H, r * std::cos(t), r * std::sin(t)));
    }
    const double det = H[0] * H[3] - H[1] * H[2];
    if (H[0] > 0 && det > 0) {
        const double s0 = -(H[3] * g[0] - H[1] * g[1]) / det;
        const double s1 = -(-H[2] * g[0] + H[0] * g[1]) / det;
        if (std::hypot(s0, s1) <= r)
            best = std::min(best, model2(g, H, s0, s1));
    }
    return best;
}

}  // namespace

TEST(LsqHelpers, ReflectFoldsIntoTheBoxWithPeriodTwo) {
    Matrix y(4, 1), x(4, 1), sigma(4, 1);
    set(y, {-0.25, 1.25, 2.25, 0.5});
    reflect(x, sigma, y);
    const double ex[] = {0.25, 0.75, 0.25, 0.5}, es[] = {-1, -1, 1, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(at(x, i), ex[i]) << i;
        EXPECT_EQ(at(sigma, i), es[i]) << i;
    }
    set(y, {0, 1, -3.5, 7.75});
    reflect(x, sigma, y);
    EXPECT_EQ(at(x, 0), 0);
    EXPECT_EQ(at(sigma, 0), 1);
    EXPECT_EQ(at(x, 1), 1);
    EXPECT_DOUBLE_EQ(at(x, 2), 0.5);
    EXPECT_DOUBLE_EQ(at(x, 3), 0.25);

    // sigma is the slope of the folded path: moving y a little moves x by sigma times as much.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-6, 6);
    const int n = 500;
    Matrix yy(n, 1), y2(n, 1), x1(n, 1), x2(n, 1), s1(n, 1), s2(n, 1);
    for (int i = 0; i < n; ++i) yy.rwData()[i] = u(rng);
    MatrixScalarMulAdd(y2, yy, 1, 1e-7);
    reflect(x1, s1, yy);
    reflect(x2, s2, y2);
    for (int i = 0; i < n; ++i) {
        ASSERT_GE(at(x1, i), 0);
        ASSERT_LE(at(x1, i), 1);
        const double distToKink = std::fabs(at(yy, i) - std::round(at(yy, i)));
        if (distToKink > 1e-5) {
            EXPECT_NEAR((at(x2, i) - at(x1, i)) / 1e-7, at(s1, i), 1e-6) << at(yy, i);
        }
    }
}

TEST(LsqHelpers, PerturbMovesOnlyWhatTouchesABound) {
    const double del = 2.220446049250313e-15;
    Matrix x(3, 1), y(3, 1), sigma(3, 1);
    set(x, {1, 0, 0.5});
    set(y, {3, -2, 0.5});
    set(sigma, {-1, -1, 1});
    perturb(x, y, del, sigma);
    EXPECT_EQ(at(x, 0), 1 - del);
    EXPECT_EQ(at(x, 1), del);
    EXPECT_EQ(at(x, 2), 0.5);
    // y moves along the path: against sigma = −1 the unreflected point moves the other way.
    EXPECT_EQ(at(y, 0), 3 + del);
    EXPECT_EQ(at(y, 1), -2 - del);
    EXPECT_EQ(at(y, 2), 0.5);

    set(x, {0.25, 1e-3, 1 - 1e-3});
    set(y, {0.25, 1e-3, 1 - 1e-3});
    perturb(x, y, del, sigma);
    EXPECT_EQ(at(x, 0), 0.25);
    EXPECT_EQ(at(x, 1), 1e-3);
    EXPECT_EQ(at(x, 2), 1 - 1e-3);
    EXPECT_EQ(at(y, 1), 1e-3);
}

TEST(LsqHelpers, DefinevScalesByTheDistanceToTheBoundTheGradientPointsAt) {
    Matrix g(4, 1), x(4, 1), v(4, 1), dv(4, 1);
    set(g, {0, -1, 2, -1e-300});
    set(x, {0.3, 0.3, 0.7, 0.9});
    definev(v, dv, g, x);
    EXPECT_DOUBLE_EQ(at(v, 0), 0.3);  // g = 0 counts as moving toward 0
    EXPECT_DOUBLE_EQ(at(v, 1), 0.3 - 1);
    EXPECT_DOUBLE_EQ(at(v, 2), 0.7);
    EXPECT_DOUBLE_EQ(at(v, 3), 0.9 - 1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(at(dv, i), 1);
}

TEST(LsqHelpers, EigOfOrderOneAndTwo) {
    Matrix X1(1, 1), V1(1, 1), D1(1, 1);
    X1.setValue(-3.5);
    eig(V1, D1, X1);
    EXPECT_EQ(V1.value(), 1);
    EXPECT_EQ(D1.value(), -3.5);

    Matrix X(2, 2), V(2, 2), D(2, 2);
    set(X, {2, 0, 0, 1});
    eig(V, D, X);
    EXPECT_DOUBLE_EQ(at(D, 0), 2);
    EXPECT_DOUBLE_EQ(at(D, 3), 1);
    EXPECT_EQ(at(D, 1), 0);
    EXPECT_EQ(at(D, 2), 0);
    EXPECT_DOUBLE_EQ(std::fabs(at(V, 0)), 1);  // column 0 along the first axis
    EXPECT_DOUBLE_EQ(std::fabs(at(V, 3)), 1);
    EXPECT_EQ(at(V, 1), 0);
    EXPECT_EQ(at(V, 2), 0);

    // Random symmetric matrices: V·D·Vᵀ rebuilds X and the columns are orthonormal.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-5, 5);
    for (int trial = 0; trial < 50; ++trial) {
        const double a = u(rng), b = u(rng), d = u(rng);
        set(X, {a, b, b, d});
        eig(V, D, X);
        const double* v = V.roData();
        const double l0 = at(D, 0), l1 = at(D, 3);
        const double rebuilt[4] = {
            l0 * v[0] * v[0] + l1 * v[1] * v[1], l0 * v[0] * v[2] + l1 * v[1] * v[3],
            l0 * v[2] * v[0] + l1 * v[3] * v[1], l0 * v[2] * v[2] + l1 * v[3] * v[3]};
        const double expected[4] = {a, b, b, d};
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(rebuilt[k], expected[k], 1e-12);
        EXPECT_NEAR(v[0] * v[1] + v[2] * v[3], 0, 1e-12);
        EXPECT_NEAR(v[0] * v[0] + v[2] * v[2], 1, 1e-12);
        // Closed-form eigenvalues of a symmetric 2 × 2.
        const double mean = 0.5 * (a + d), rad = std::hypot(0.5 * (a - d), b);
        EXPECT_NEAR(std::min(l0, l1), mean - rad, 1e-12);
        EXPECT_NEAR(std::max(l0, l1), mean + rad, 1e-12);
    }
}

TEST(LsqHelpers, TrustOfOrderOneAndTheHardCase) {
    // H = [−1], g = [0], delta = 1: no zero of the secular function; the step is delta along the
    // eigenvector, in the positive direction.
    Matrix s(1, 1), g(1, 1), H(1, 1);
    g.setValue(0);
    H.setValue(-1);
    trust(s, g, H, 1);
    EXPECT_DOUBLE_EQ(s.value(), 1);

    // Convex order 1: the Newton step when inside, the boundary point otherwise.
    H.setValue(4);
    g.setValue(-2);
    trust(s, g, H, 1);
    EXPECT_DOUBLE_EQ(s.value(), 0.5);
    g.setValue(-40);
    trust(s, g, H, 1);
    EXPECT_NEAR(s.value(), 1, 1e-9);

    // Concave order 1: the full radius downhill.
    H.setValue(-2);
    g.setValue(3);
    trust(s, g, H, 0.5);
    EXPECT_NEAR(s.value(), -0.5, 1e-9);
}

TEST(LsqHelpers, TrustOfOrderTwoKeepsANewtonStepUpToTwentyPercentLong) {
    const double Hv[4] = {2, 0.5, 0.5, 1};
    const double det = Hv[0] * Hv[3] - Hv[1] * Hv[2];
    const double gv[2] = {-1.1, 0.4};
    const double n0 = -(Hv[3] * gv[0] - Hv[1] * gv[1]) / det;
    const double n1 = -(-Hv[2] * gv[0] + Hv[0] * gv[1]) / det;
    const double newtonLength = std::hypot(n0, n1);
    Matrix s(2, 1), g(2, 1), H(2, 2);
    set(H, {Hv[0], Hv[1], Hv[2], Hv[3]});
    set(g, {gv[0], gv[1]});
    trust(s, g, H, newtonLength / 1.19);  // 19 % longer than delta: still the Newton step
    EXPECT_NEAR(at(s, 0), n0, 1e-12);
    EXPECT_NEAR(at(s, 1), n1, 1e-12);
    trust(s, g, H, newtonLength / 1.5);  // too long: pulled back onto the boundary
    EXPECT_NEAR(std::hypot(at(s, 0), at(s, 1)), newtonLength / 1.5, 1e-8);
}

TEST(LsqHelpers, TrustOfOrderTwoMinimisesTheModelOverItsDisc) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-3, 3);
    std::uniform_real_distribution<double> r(0.1, 2);
    for (int trial = 0; trial < 40; ++trial) {
        const double a = u(rng), b = u(rng), d = u(rng);
        double gv[2] = {u(rng), u(rng)};
        if (trial % 8 == 0) {  // the hard case: g orthogonal to the lowest eigenvector
            gv[0] = 0;
        }
        const double Hv[4] = {a, trial % 8 == 0 ? 0 : b, trial % 8 == 0 ? 0 : b, d};
        const double delta = r(rng);
        Matrix s(2, 1), g(2, 1), H(2, 2);
        set(H, {Hv[0], Hv[1], Hv[2], Hv[3]});
        set(g, {gv[0], gv[1]});
        trust(s, g, H, delta);
        const double len = std::hypot(at(s, 0), at(s, 1));
        ASSERT_TRUE(std::isfinite(len)) << trial;
        EXPECT_LE(len, 1.2 * delta + 1e-9) << trial;
        // No point of the disc of the step's own length does better.
        const double m = model2(gv, Hv, at(s, 0), at(s, 1));
        EXPECT_LE(m, bruteForceMin(gv, Hv, len) + 1e-7 * (1 + std::fabs(m))) << trial;
        // And the step is no worse than the best point of the disc of radius 0.8·delta.
        EXPECT_LE(m, bruteForceMin(gv, Hv, 0.8 * delta) + 1e-7 * (1 + std::fabs(m))) << trial;
    }
}

TEST(LsqHelpers, SecularEquationAndZeroFinder) {
    Matrix eigval(2, 1), alpha(2, 1);
    set(eigval, {-1, 3});
    set(alpha, {0.5, 2});
    // At λ = −eigval(0) the first term is infinite: the value is 1/delta.
    EXPECT_DOUBLE_EQ(seceqn1(1, eigval, alpha, 0.25), 4);
    // Elsewhere 1/delta − 1/‖alpha ./ (eigval + λ)‖.
    const double lam = 2.5;
    const double expected = 1 / 0.25 - 1 / std::hypot(0.5 / (-1 + lam), 2 / (3 + lam));
    EXPECT_NEAR(seceqn1(lam, eigval, alpha, 0.25), expected, 1e-15);
    Matrix lambdas(3, 1), values(3, 1);
    set(lambdas, {1, lam, 7});
    seceqn(values, lambdas, eigval, alpha, 0.25);
    EXPECT_DOUBLE_EQ(at(values, 0), 4);
    EXPECT_NEAR(at(values, 1), expected, 1e-15);

    // Order 1: the zero of 1/delta − |λ + e|/|a| is λ = |a|/delta − e. Far zeros need many
    // doublings of the bracket; the result is within the finder's 2e-12 relative tolerance.
    Matrix e1(1, 1), a1(1, 1);
    const double cases[][3] = {{0, 300, 0.5}, {-3, 2, 1}, {0.25, 1, 2}, {-1e-3, 1e3, 0.01}};
    for (const auto& cs : cases) {
        e1.setValue(cs[0]);
        a1.setValue(cs[1]);
        const double start = std::max(0.0, -cs[0]);
        const double zero = rfzero(start, e1, a1, cs[2]);
        const double exact = std::fabs(cs[1]) / cs[2] - cs[0];
        EXPECT_NEAR(zero, exact, 4e-12 * std::max(1.0, exact)) << cs[0] << " " << cs[1];
    }
    // Order 2, against a plain bisection on the same function.
    const double delta = 0.3;
    auto f = [&](double l) { return seceqn1(l, eigval, alpha, delta); };
    double lo = 1, hi = 1;
    while (f(hi) > 0) hi *= 2;
    for (int k = 0; k < 200; ++k) {
        const double mid = 0.5 * (lo + hi);
        (f(mid) > 0 ? lo : hi) = mid;
    }
    EXPECT_NEAR(rfzero(1, eigval, alpha, delta), lo, 1e-10);
}

namespace {

// A w × h filter matrix with its kernel kept alive alongside.
struct Operator {
    int size;
    Vec kernel;
    Matrix A;
    Operator(double radius, int angle, int w, int h)
        : kernel(lsq_test::kernelValues(radius, angle, size)),
          A(w * h, w * h, kernel.data(), size, size, h, w) {}
};

Matrix* diagonal(Matrix& m) {
    m.diagonalize();
    return &m;
}

}  // namespace

TEST(LsqHelpers, ConjugateGradientsWithAZeroGradientAndOnASmallSystem) {
    const int w = 6, h = 5, n = w * h;
    Operator op(1.0, -1, w, h);
    Matrix DM(n, 1), DG(n, 1), R(n, 1), g(n, 1), p(n, 1);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.2, 1);
    for (int i = 0; i < n; ++i) {
        DM.rwData()[i] = u(rng) * (i % 3 == 0 ? -1 : 1);
        DG.rwData()[i] = 0.1 * u(rng);
    }
    diagonal(DM);
    diagonal(DG);
    diagonal(R);
    aprecon(R, op.A, DM, DG);

    g.loadZeros();
    int posdef = -1, pcgit = -1;
    pcgr(p, posdef, pcgit, DM, DG, g, n / 2, 0.1, op.A, R);
    EXPECT_EQ(posdef, 0);
    EXPECT_EQ(pcgit, 1);
    EXPECT_EQ(norminf(p), 0);

    Matrix s(n, 1), grad(n, 1);
    s.fill(7);
    grad.loadZeros();
    drqpbox(s, posdef, pcgit, DM, grad, 1.0, g, 0.1, op.A, n / 2);
    EXPECT_EQ(norminf(s), 0);

    // Run to a tight tolerance, pcgr solves (DM·AᵀA·DM + DG)·p = −g: compare with a dense solve.
    for (int i = 0; i < n; ++i) g.rwData()[i] = u(rng) - 0.6;
    pcgr(p, posdef, pcgit, DM, DG, g, 10 * n, 1e-13, op.A, R);
    EXPECT_EQ(posdef, 1);
    const lsq_test::Dense A = lsq_test::blurMatrix(op.kernel, op.size, w, h);
    lsq_test::Problem prob(A, Vec(n, 0.0));
    Vec M(std::size_t(n) * n), rhs(n);
    const double* dm = DM.roDiagonalData();
    const double* dg = DG.roDiagonalData();
    for (int i = 0; i < n; ++i) {
        rhs[i] = -g.roData()[i];
        for (int j = 0; j < n; ++j)
            M[std::size_t(i) * n + j] = dm[i] * prob.H(i, j) * dm[j] + (i == j ? dg[i] : 0);
    }
    const Vec exact = lsq_test::choleskySolve(M, rhs, n);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(at(p, i), exact[i], 1e-8 * (1 + std::fabs(exact[i])));
}

TEST(LsqHelpers, PreconditionerAndItsApplication) {
    const int n = 3;
    Operator op(0.5, -1, 3, 1);
    Matrix DM(n, 1), DG(n, 1), R(n, 1), r(n, 1), w(n, 1);
    set(DM, {0.6, -0.8, 0});
    set(DG, {0.64, 0.36, 0});
    diagonal(DM);
    diagonal(DG);
    diagonal(R);
    aprecon(R, op.A, DM, DG);
    EXPECT_DOUBLE_EQ(R.roDiagonalData()[0], 1);
    EXPECT_DOUBLE_EQ(R.roDiagonalData()[1], 1);
    EXPECT_EQ(R.roDiagonalData()[2], 1.4901161193847656e-8);
    set(r, {2, -3, 1e-20});
    preproj(w, r, R);
    EXPECT_DOUBLE_EQ(at(w, 0), 2);
    EXPECT_DOUBLE_EQ(at(w, 1), -3);
    EXPECT_DOUBLE_EQ(at(w, 2), 1e-20 / (1.4901161193847656e-8 * 1.4901161193847656e-8));
}

TEST(LsqHelpers, ObjectiveAndGradientMatchTheDenseProblem) {
    const int w = 7, h = 6, n = w * h;
    Operator op(1.5, 30, w, h);
    const lsq_test::Dense A = lsq_test::blurMatrix(op.kernel, op.size, w, h);
    std::mt19937 rng(9);
    const Vec bv = lsq_test::randomObservation(A, rng, 0.05);
    lsq_test::Problem prob(A, bv);
    Vec xv(n);
    std::uniform_real_distribution<double> u(0, 1);
    for (double& v : xv) v = u(rng);

    Matrix b(n, 1), nb(n, 1), c(n, 1), x(n, 1), val(1, 1), g(n, 1);
    lsq_test::fromVec(b, bv);
    lsq_test::fromVec(x, xv);
    MatrixNegate(nb, b);
    atamult(c, op.A, nb, -1);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(at(c, i), prob.c[i], 1e-14);
    fquad(val, g, x, c, op.A, nullptr);
    EXPECT_NEAR(val.value(), prob.objective(xv) - prob.half_bb, 1e-12);
    const Vec ge = prob.gradient(xv);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(at(g, i), ge[i], 1e-13);

    // A set flag leaves both outputs as they were.
    std::atomic<bool> stop{true};
    val.setValue(42);
    g.fill(-1);
    fquad(val, g, x, c, op.A, &stop);
    EXPECT_EQ(val.value(), 42);
    EXPECT_EQ(norminf(g), 1);
}

// The normal product through transforms against the written-out blur, on one and two columns:
// discs (symmetric kernels, through A·A and the border sums) and a slanted segment, square and
// oblong images, and images only a little wider than the kernel's reach (the mirrored rows and
// columns then fold back onto almost every pixel, or the border sums of opposite sides overlap).
TEST(LsqHelpers, NormalProductThroughTransformsEqualsTheDenseOne) {
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

TEST(LsqHelpers, LineSearchFoldsAtTheBoundAndGivesUpOnAnAscent) {
    // A = identity on two unknowns: q(x) = ½‖x‖² − bᵀx, minimised over the box at min(b, 1).
    Operator op(0.5, -1, 2, 1);
    Matrix b(2, 1), nb(2, 1), c(2, 1), x(2, 1), sigma(2, 1), s(2, 1), ox(2, 1), y(2, 1), osig(2, 1),
        val(1, 1), g(2, 1);
    auto q = [&](const Matrix& v) {
        return 0.5 * (at(v, 0) * at(v, 0) + at(v, 1) * at(v, 1)) - at(b, 0) * at(v, 0) -
               at(b, 1) * at(v, 1);
    };
    set(b, {2, 2});
    MatrixNegate(nb, b);
    atamult(c, op.A, nb, -1);
    set(ox, {0.9, 0.9});
    MatrixCopy(y, ox);
    osig.fill(1);
    set(s, {0.5, 0.5});
    fquad(val, g, ox, c, op.A, nullptr);
    const double strg = at(s, 0) * at(g, 0) + at(s, 1) * at(g, 1);
    ASSERT_LT(strg, 0);
    double alpha = -1;
    // The trial step alpha = 1 lands on the folded point 0.6: worse than 0.9, so the search
    // bisects back toward the bound at 1.
    biqpbox(x, sigma, alpha, s, c, strg, ox, y, osig, val.value(), 1, 1.0, op.A, nullptr);
    EXPECT_GT(alpha, 0);
    EXPECT_LT(alpha, 1);
    EXPECT_LT(q(x), q(ox));
    EXPECT_GT(at(x, 0), 0.95);
    EXPECT_LE(at(x, 0), 1);

    // An interior optimum reached exactly by the first trial step stays put.
    set(b, {0.5, 0.5});
    MatrixNegate(nb, b);
    atamult(c, op.A, nb, -1);
    set(ox, {0.1, 0.1});
    MatrixCopy(y, ox);
    set(s, {0.4, 0.4});
    fquad(val, g, ox, c, op.A, nullptr);
    biqpbox(x, sigma, alpha, s, c, at(s, 0) * at(g, 0) + at(s, 1) * at(g, 1), ox, y, osig,
            val.value(), 1, 1.0, op.A, nullptr);
    EXPECT_DOUBLE_EQ(alpha, 1);
    EXPECT_DOUBLE_EQ(at(x, 0), 0.5);

    // From the optimum every direction climbs: told that it descends, the search finds no
    // acceptable point and returns the old point and signs.
    set(ox, {0.5, 0.5});
    MatrixCopy(y, ox);
    set(s, {0.2, -0.2});
    set(osig, {1, -1});
    fquad(val, g, ox, c, op.A, nullptr);
    biqpbox(x, sigma, alpha, s, c, -1e-3, ox, y, osig, val.value(), 0, 1.0, op.A, nullptr);
    EXPECT_EQ(alpha, 0);
    EXPECT_EQ(at(x, 0), 0.5);
    EXPECT_EQ(at(x, 1), 0.5);
    EXPECT_EQ(at(sigma, 0), 1);
    EXPECT_EQ(at(sigma, 1), -1);
}

TEST(LsqHelpersDeathTest, ShapeChecks) {
    Matrix x(3, 2), v(3, 1), dv(3, 1), g(3, 1);
    EXPECT_DEATH(definev(v, dv, g, x), "x.columns\\(\\) == 1");
    Matrix p(4, 1), DG(3, 1);
    DG.diagonalize();
    Matrix R(3, 1);
    R.diagonalize();
    Operator op(0.5, -1, 3, 1);
    int posdef, pcgit;
    EXPECT_DEATH(pcgr(p, posdef, pcgit, DG, DG, g, 1, 0.1, op.A, R), "p.rows\\(\\) == n");
    Matrix b(1, 1), xx(1, 1);
    EXPECT_DEATH(sllsbox(xx, op.A, b, b, 1e-6, 10, nullptr, 1, 1), "n > 1");
}
