// The box-constrained least-squares deconvolution: the reflective Newton solver followed iteration
// by iteration against a plain rendering of the method on the dense blur matrix, its result
// checked against the optimum certified by the Frank–Wolfe gap, the normal product through
// transforms against the dense one, regions outside the blur model, and cancellation.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "DeblurTestSupport.h"
#include "Deconvolve.h"
#include "Sllsbox.h"
#include "Filter.h"
#include "MatrixFilter.h"
#include "MatrixImage.h"

extern "C" void dgeev_(const char* jobvl, const char* jobvr, const int* n, double* a,
                       const int* lda, double* wr, double* wi, double* vl, const int* ldvl,
                       double* vr, const int* ldvr, double* work, const int* lwork, int* info);
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

// A plain, step-by-step rendering of the interior reflective Newton method for
//     minimise ½·xᵀ·AᵀA·x + cᵀ·x,  c = −Aᵀ·b,  subject to 0 ≤ x ≤ 1,
// on std::vector with the dense blur matrix. It records the iterate at the top of every
// outer iteration and how the solve ended, so that a test can follow the production solver
// iteration by iteration.

const double kInf = std::numeric_limits<double>::infinity();
const double kSqrtEps = 1.4901161193847656e-8;

struct Result {  // of a run of the reference or of the production solver
    Vec x;
    std::vector<Vec> iterates;  // x at the top of every outer iteration
    SolverEnd end = SolverEnd::Converged;
};

double dot(const Vec& a, const Vec& b) {
    double s = 0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}
double norm2(const Vec& a) {
    return std::sqrt(dot(a, a));
}
Vec times(Vec a, const Vec& b) {  // element by element
    for (std::size_t i = 0; i < a.size(); ++i) a[i] *= b[i];
    return a;
}
Vec axpy(Vec y, double t, const Vec& x) {  // y + t·x
    for (std::size_t i = 0; i < y.size(); ++i) y[i] += t * x[i];
    return y;
}
Vec ata(const Dense& A, const Vec& x) {
    return multiply(A, multiply(A, x), true);
}
// q(x) = xᵀ·(½·AᵀA·x + c); g = AᵀA·x + c.
double fquad(Vec& g, const Vec& x, const Vec& c, const Dense& A) {
    const Vec t = ata(A, x);
    double q = 0;
    g.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = t[i] + c[i], q += x[i] * (0.5 * t[i] + c[i]);
    return q;
}

// Folds y into 0 … 1 with period 2; sigma is the orientation of the folded path.
void reflect(Vec& x, Vec& sigma, const Vec& y) {
    x.assign(y.size(), 0);
    sigma.assign(y.size(), 0);
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double w = std::fmod(std::fabs(y[i]), 2.0);
        x[i] = std::min(w, 2 - w);
        sigma[i] = 2 - w >= w ? (y[i] < 0 ? -1 : 1) : (y[i] > 0 ? -1 : 1);
    }
}

// Moves the unknowns (in the box) lying within del of a bound by del off it; y follows along sigma.
void perturb(Vec& x, Vec& y, double del, const Vec& sigma) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = del > 1 - x[i] ? -del : del > x[i] ? del : 0;
        x[i] += t;
        y[i] += sigma[i] * t;
    }
}

// Eigenvalues and eigenvectors (columns of the column-major V) of H (k × k, k = 1 or 2).
void eig(Vec& V, Vec& eigval, const Vec& H, int k) {
    if (k == 1) {
        V = {1};
        eigval = {H[0]};
        return;
    }
    const int n = 2, lda = 2, ldvl = 1, ldvr = 2, lwork = 100;
    double a[4] = {H[0], H[1], H[2], H[3]}, wr[2], wi[2], vl[1], vr[4], work[100];
    int info = 0;
    dgeev_("N", "V", &n, a, &lda, wr, wi, vl, &ldvl, vr, &ldvr, work, &lwork, &info);
    if (info != 0)
        std::abort();
    V.assign(vr, vr + 4);
    eigval = {wr[0], wr[1]};
}

// 1/delta − 1/norm(alpha ./ (eigval + lambda)); a term is infinite where eigval + lambda = 0.
double seceqn1(double lambda, const Vec& eigval, const Vec& alpha, double delta) {
    double sum = 0;
    for (std::size_t i = 0; i < eigval.size(); ++i) {
        const double m = eigval[i] + lambda, t = m != 0 ? alpha[i] / m : kInf;
        sum += t * t;
    }
    const double value = std::sqrt(1 / sum);
    return 1 / delta - (std::isnan(value) ? 0 : value);
}

// A zero of seceqn1 to the right of x: bracketed by doubling steps (at most 51 evaluations), then
// bisected to the last bit; without a bracket, the better of x and the last point tried.
double rfzero(double x, const Vec& eigval, const Vec& alpha, double delta) {
    auto f = [&](double t) { return seceqn1(t, eigval, alpha, delta); };
    double dx = (x != 0 || std::isnan(x)) ? std::fabs(x) / 2 : 0.5;
    double a = x, fa = f(a), b = x + 1, fb = f(b);
    for (int count = 2; count < 51 && (fb > 0) == (fa > 0) && fb != 0; ++count) {
        dx = 2 * dx;
        b = x + dx;
        fb = f(b);
    }
    for (double m = 0.5 * (a + b); fb != 0 && (fb > 0) != (fa > 0) && m != a && m != b;
         m = 0.5 * (a + b)) {
        const double fm = f(m);
        ((fm > 0) == (fa > 0) ? a : b) = m;
        ((fm > 0) == (fa > 0) ? fa : fb) = fm;
    }
    return fb == 0 || std::fabs(fb) <= std::fabs(fa) ? b : a;
}

// argmin gᵀs + ½·sᵀHs with norm(s) ≤ delta (approximately), H symmetric of order 1 or 2.
Vec trust(const Vec& g, const Vec& H, double delta) {
    const int k = int(g.size());
    Vec V, eigval, alpha(k, 0.0);
    eig(V, eigval, H, k);
    const int jmin = (k == 2 && eigval[1] < eigval[0]) ? 1 : 0;
    const double mineig = eigval[jmin];
    for (int j = 0; j < k; ++j)
        for (int i = 0; i < k; ++i) alpha[j] -= V[i + k * j] * g[i];
    const double sig = alpha[jmin] < 0 ? -1 : 1;
    auto stepFor = [&](double lam) {  // V·(alpha ./ (eigval + lam)) with the zero rules
        Vec coeff(k), s(k, 0.0);
        for (int i = 0; i < k; ++i) {
            const double w = eigval[i] + lam, q = alpha[i] / w;
            coeff[i] = w != 0 ? (std::isnan(q) ? 0 : q) : (alpha[i] == 0 ? 0 : kInf);
        }
        for (int i = 0; i < k; ++i)
            for (int j = 0; j < k; ++j) s[i] += V[i + k * j] * coeff[j];
        return s;
    };
    double laminit = -mineig, lambda = -mineig;
    if (mineig > 0) {  // positive definite: the Newton step when it is short enough
        const Vec s = stepFor(0);
        if (norm2(s) <= 1.2 * delta)
            return s;
        laminit = 0;
    }
    int key = 4;
    if (seceqn1(laminit, eigval, alpha, delta) > 0) {
        const double b = rfzero(laminit, eigval, alpha, delta);
        if (!(std::fabs(seceqn1(b, eigval, alpha, delta)) <= 1e-8)) {
            key = 3;
        } else {
            const double nrm = norm2(stepFor(b));
            key = nrm > 1.2 * delta || nrm < 0.8 * delta ? 5 : 2;
            if (key == 2)
                lambda = b;
        }
    }
    if (key > 2)
        for (int i = 0; i < k; ++i)
            if (std::fabs(eigval[i] + lambda) <
                2.220446049250313e-15 * std::max(std::fabs(eigval[i]), 1.0))
                alpha[i] = 0;
    Vec s = stepFor(lambda);
    const double nrms = norm2(s);
    if (key > 2 && nrms < 0.8 * delta) {  // fill up to delta along the lowest curvature
        const double t = std::sqrt(delta * delta - nrms * nrms) * sig;
        for (int i = 0; i < k; ++i) s[i] += t * V[i + k * jmin];
    }
    if (key > 2 && nrms > 1.2 * delta)
        s = stepFor(rfzero(laminit, eigval, alpha, delta));
    return s;
}

// Preconditioned conjugate gradients on (DM·AᵀA·DM + DG)·p = −g with the diagonal RPC.
Vec pcgr(int& posdef, const Vec& DM, const Vec& DG, const Vec& g, int kmax, double tol,
         const Dense& A, const Vec& RPC) {
    const std::size_t n = g.size();
    auto preproj = [&](const Vec& r) {
        Vec w(n);
        for (std::size_t i = 0; i < n; ++i) w[i] = r[i] / (RPC[i] * RPC[i]);
        return w;
    };
    Vec p(n, 0.0), r = axpy(p, -1, g), d;
    Vec z = preproj(r);
    const double stoptol = tol * norm2(z);
    double inner1 = dot(r, z), inner2 = 0;
    posdef = 1;
    for (int k = 1;; ++k) {
        d = k == 1 ? z : axpy(z, inner1 / inner2, d);
        const Vec ww = ata(A, times(DM, d));
        Vec w(n);
        for (std::size_t i = 0; i < n; ++i) w[i] = DM[i] * ww[i] + DG[i] * d[i];
        const double denom = dot(d, w);
        if (denom <= 0) {  // non-positive curvature: return that direction
            const double nd = norm2(d);
            posdef = 0;
            return nd != 0 ? axpy(Vec(n, 0.0), 1 / nd, d) : d;
        }
        const double alpha = inner1 / denom;
        p = axpy(p, alpha, d);
        r = axpy(r, -alpha, w);
        z = preproj(r);
        if (norm2(z) <= stoptol)
            return p;
        inner2 = inner1;
        inner1 = dot(r, z);
        if (k + 1 > kmax)
            return p;
    }
}

// Trust-region step in the subspace of the conjugate-gradient direction and a second one.
// D is the signed scaling diagonal; the scaling dv of the unknowns is 1 for all of them.
Vec drqpbox(int& posdef, const Vec& D, const Vec& grad, double delta, const Vec& g, double pcgtol,
            const Dense& A, int kmax) {
    const std::size_t n = g.size();
    Vec DG(n), RPC(n);
    for (std::size_t i = 0; i < n; ++i) {
        DG[i] = D[i] + std::fabs(g[i]) < 1e-4 ? 1e-4 : std::fabs(g[i]);
        RPC[i] = std::max(std::sqrt(D[i] * D[i] + DG[i]), kSqrtEps);
    }
    Vec z1 = pcgr(posdef, D, DG, grad, kmax, pcgtol, A, RPC);
    const double n1 = norm2(z1);
    if (n1 == 0)
        return Vec(n, 0.0);
    for (double& v : z1) v /= n1;
    Vec z2(n);
    for (std::size_t i = 0; i < n; ++i)
        z2[i] = posdef > 0 ? grad[i] : D[i] * ((grad[i] > 0) - (grad[i] < 0));
    const double n2 = norm2(z2);
    for (double& v : z2) v /= n2;
    z2 = axpy(z2, -dot(z1, z2), z1);
    const double nrm = norm2(z2);
    std::vector<Vec> Z{z1};
    if (nrm > kSqrtEps) {  // else z2 is parallel to z1: a one-dimensional subspace
        for (double& v : z2) v /= nrm;
        Z.push_back(z2);
    }
    const int k = int(Z.size());
    Vec MM(k * k), rhs(k);  // Zᵀ·(D·AᵀA·D + DG)·Z and Zᵀ·grad
    for (int b = 0; b < k; ++b) {
        const Vec W = times(D, ata(A, times(D, Z[b]))), T = times(DG, Z[b]);
        for (int a = 0; a < k; ++a) MM[a * k + b] = dot(Z[a], W) + dot(Z[a], T);
        rhs[b] = dot(Z[b], grad);
    }
    const Vec st = trust(rhs, MM, delta);
    Vec s(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (int a = 0; a < k; ++a) s[i] += Z[a][i] * st[a];
        s[i] *= std::fabs(D[i]);
    }
    return s;
}

// Reflective line search along y + t·s; alpha = 0 with x = ox, sigma = osig when it fails.
void biqpbox(Vec& x, Vec& sigma, double& alpha, const Vec& s, const Vec& c, double strg,
             const Vec& ox, const Vec& y, const Vec& osig, double oval, int posdef, double normg,
             const Dense& A) {
    const Vec ss = times(osig, s);
    const double pcurv = std::min(0.0, 0.5 * dot(ss, ata(A, ss)));
    double val = 0, slope = 0;
    Vec xt, sigt, gt;
    auto evaluate = [&](double t) {  // q and its slope along the path at y + t·s
        reflect(xt, sigt, axpy(y, t, s));
        val = fquad(gt, xt, c, A);
        slope = dot(s, times(sigt, gt));
    };
    auto model = [&](double t) { return t * strg + t * t * pcurv; };
    alpha = posdef >= 1 ? 1 : 2;
    const double tau = posdef >= 1 ? normg * 1e8 : kInf;
    double hi = alpha, lo = 0, fA = 0, accSlope = 0;
    evaluate(alpha);
    if (val < oval + 1e-8 * model(alpha)) {
        x = xt, sigma = sigt, fA = val, accSlope = slope;
    } else {  // bisection on 0 … hi, at most 14 points
        for (int k = 1;;) {
            const double mid = 0.5 * (lo + hi);
            evaluate(mid);
            if (val < oval + 0.9 * model(mid)) {
                lo = mid;
            } else if (val <= oval + 1e-8 * model(mid)) {
                x = xt, sigma = sigt, alpha = mid, fA = val, accSlope = slope;
                if (k <= 13)
                    break;
                k = 14;  // a point accepted as the 14th is not used
            } else {
                hi = mid;
            }
            if (++k >= 15) {
                alpha = 0, x = ox, sigma = osig;
                return;
            }
        }
    }
    // Refinement between the accepted step and a longer one.
    double a = alpha, e = a + std::min(0.5, tau) * a;
    evaluate(e);
    double fE = val;
    const bool down = accSlope < 0;
    for (int step = 0; step < 4; ++step) {
        const double mid = 0.5 * (a + e);
        evaluate(mid);
        if (val < fA && (down ? slope < 0 : slope > 0))
            a = mid, fA = val;
        else
            e = mid, fE = val;
    }
    alpha = fA < fE ? a : fE < fA ? e : down ? a : e;
    reflect(x, sigma, axpy(y, alpha, s));
}

// The whole solve from `start`. With `follow`, every outer iteration k > 0 records its own
// iterate and then carries on from follow[k] instead (y moves along sigma with it), so that
// each recorded iterate is one step from the followed one.
Result referenceSllsbox(const Dense& A, const Vec& b, const Vec& start, double tol,
                        int maxIterations, const std::vector<Vec>* follow = nullptr) {
    const double eps = 2.220446049250313e-16, del = 2.220446049250313e-15;
    const int n = int(b.size()), kmax = n / 2;
    const Vec c = multiply(A, axpy(Vec(n, 0.0), -1, b), true);
    Result res;
    Vec x = start, y = x, sigma(n, 1.0), g(n);
    int posdef = 0;
    const double tol2 = std::sqrt(tol);
    double val = fquad(g, x, c, A), ratio = kInf, prevDiff = 0, oval = kInf;
    for (int it = 1;;) {
        res.iterates.push_back(x);
        const std::size_t k = res.iterates.size() - 1;
        if (follow && k > 0 && k < follow->size()) {
            for (int i = 0; i < n; ++i) y[i] += sigma[i] * ((*follow)[k][i] - x[i]);
            x = (*follow)[k];
            val = fquad(g, x, c, A);
        }
        Vec v(n);
        double optnrm = 0;
        for (int i = 0; i < n; ++i) {
            v[i] = g[i] < 0 ? x[i] - 1 : x[i];
            optnrm = std::max(optnrm, std::fabs(v[i] * g[i]));
        }
        const double diff = std::fabs(oval - val), scale = 1 + std::fabs(val);
        if (it > 1)
            ratio = prevDiff / std::max(diff, eps);
        bool done = diff < tol * scale || (diff < tol2 * scale && ratio < 3.5) ||
                    (optnrm < tol && posdef == 1);
        double newVal = val;
        if (!done) {
            Vec D(n);
            for (int i = 0; i < n; ++i) D[i] = std::sqrt(std::fabs(v[i])) * sigma[i];
            const Vec grad = times(D, g);
            const double normg = norm2(grad), nv = norm2(v);
            const double delta = nv < 1 ? 1 : std::min(nv, 1000.0);
            const Vec s = drqpbox(posdef, D, grad, delta, g, 0.1, A, kmax);
            const double strg = dot(s, times(sigma, g));
            const Vec ox = x, osig = sigma;
            if (strg >= 0) {  // not a descent direction
                res.end = SolverEnd::IllConditioned;
                done = true;
            } else {
                double alpha = 0;
                biqpbox(x, sigma, alpha, s, c, strg, ox, y, osig, val, posdef, normg, A);
                y = axpy(y, alpha, s);
                perturb(x, y, del, sigma);
                newVal = fquad(g, x, c, A);
                ++it;
            }
        }
        if (it >= maxIterations) {
            res.end = SolverEnd::IterationLimit;
            break;
        }
        oval = val;
        prevDiff = diff;
        if (done)
            break;
        val = newVal;
    }
    res.x = x;
    return res;
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

// Compares the production run with the reference run, step by step (each reference step taken
// from the production iterate) and freely. Rounding differences (sums in other orders) grow
// through a long solve of an ill-conditioned blur until they may flip a late decision, so the
// free run must match throughout only when `freeMustMatch` (short runs); otherwise it runs, and
// must match, for its first five iterations.
void compare(const std::string& name, const Blur& blur, const Vec& b, const Vec& start, double tol,
             int maxIterations = 2000, bool freeMustMatch = false) {
    SCOPED_TRACE(name);
    const Result run = blur.solve(b, start, tol, maxIterations);
    const Result step = referenceSllsbox(blur.dense, b, start, tol, maxIterations, &run.iterates);
    EXPECT_EQ(step.iterates.size(), run.iterates.size());
    EXPECT_LE(iterateDiff(step.iterates, run.iterates), 1e-9);
    EXPECT_LE(maxAbsDiff(step.x, run.x), 1e-9);
    EXPECT_TRUE(step.end == run.end);

    const Result free =
        referenceSllsbox(blur.dense, b, start, tol, freeMustMatch ? maxIterations : 6);
    EXPECT_LE(iterateDiff(free.iterates, run.iterates), 1e-9);
    if (freeMustMatch) {
        EXPECT_EQ(free.iterates.size(), run.iterates.size());
        EXPECT_LE(maxAbsDiff(free.x, run.x), 1e-9);
        EXPECT_TRUE(free.end == run.end);
    }
}

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

// Random observations and crops of sample photographs, from b and from 0.5, at three tolerances;
// then the iteration limit (the counter starts at 1) and a start that already solves the problem
// (zero gradient: the ill-conditioning ending at once).
TEST(LsqReference, TheSolverFollowsTheMethodIterationByIteration) {
    const struct {
        double radius;
        int angle, w, h;
        const char* sample = nullptr;  // a crop of `channel` at (x, y); null: a random observation
        int channel = 0, x = 0, y = 0;
    } list[] = {{1.0, -1, 12, 12},
                {1.5, -1, 12, 12},
                {2.0, -1, 12, 12},
                {2.0, 30, 12, 12},
                {1.5, -1, 16, 14},
                {2.0, 30, 16, 14},
                {1.5, -1, 20, 20, "camera.png", 1, 240, 180},
                {2.0, -1, 20, 20, "astronaut.png", 2, 200, 120}};
    std::mt19937 rng(4711);
    for (const auto& o : list) {
        const Blur blur(o.radius, o.angle, o.w, o.h);
        const Vec b = o.sample ? crop(samplePhoto(o.sample), o.channel, o.x, o.y, o.w, o.h)
                               : randomObservation(blur.dense, rng, 0.02);
        for (const bool fromB : {true, false})
            for (double tol : {kPresetLoose, double(1e-12f), 1e-14})
                compare(std::string(o.sample ? o.sample : "random") + " r" +
                            std::to_string(o.radius) + " a" + std::to_string(o.angle) + " " +
                            std::to_string(o.w) + (fromB ? " from b" : " from 0.5") + " tol " +
                            std::to_string(tol),
                        blur, b, fromB ? b : Vec(b.size(), 0.5), tol, 2000, tol == kPresetLoose);
    }
    const Blur blur(1.5, -1, 12, 12);
    const Vec b = randomObservation(blur.dense, rng, 0.02), dark(144, 0.0);
    for (int limit : {1, 2, 3, 7})
        compare("limit " + std::to_string(limit), blur, b, b, 1e-14, limit, true);
    compare("dark from 0", blur, dark, dark, 1e-14, 2000, true);
    compare("dark from 0.5", blur, dark, Vec(144, 0.5), 1e-14, 2000, false);
}

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
            for (double v : x24) ASSERT_TRUE(v >= 0 && v <= 1);
            EXPECT_LE(objective(blur.dense, b, x24), best * (1 + 1e-6));
            for (const auto& [tol, qShare] : {std::pair{1e-14, 1e-5}, std::pair{1e-16, 1e-6}}) {
                const Result run = blur.solve(b, b, tol);
                for (double v : run.x) ASSERT_TRUE(v >= 0 && v <= 1);
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
            EXPECT_TRUE(o[2] == i[2] && o[1] == 33 && o[3] == 33) << w << "x" << h;
        }
    }
    // One pixel more each way and the solver runs (the kernel's half-width 2 fits in 3 × 3).
    CImage out = patterned(3, 3, 33);
    deconvolve_sllsbox(in, out, 2, 2.0, kPresetLoose, 0, -1, 0, 0, 3, 3, nullptr, &stop);
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
