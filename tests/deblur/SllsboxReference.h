#pragma once

// A plain, step-by-step rendering of the interior reflective Newton method for
//     minimise ½·xᵀ·AᵀA·x + cᵀ·x,  c = −Aᵀ·b,  subject to 0 ≤ x ≤ 1,
// on std::vector with the dense blur matrix of LsqTestSupport.h. It records the iterate at the
// top of every outer iteration and how the solve ended, so that a test can follow the
// production solver iteration by iteration.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "LsqTestSupport.h"

extern "C" void dgeev_(const char* jobvl, const char* jobvr, const int* n, double* a,
                       const int* lda, double* wr, double* wi, double* vl, const int* ldvl,
                       double* vr, const int* ldvr, double* work, const int* lwork, int* info);

namespace sllsbox_reference {

using lsq_test::Dense;
using lsq_test::Vec;

const double kInf = std::numeric_limits<double>::infinity();
const double kSqrtEps = 1.4901161193847656e-8;

enum class Termination { Converged, IllConditioned, IterationLimit };

struct Result {
    Vec x;
    std::vector<Vec> iterates;  // x at the top of every outer iteration
    Termination termination = Termination::Converged;
};

inline double dot(const Vec& a, const Vec& b) {
    double s = 0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}
inline double norm2(const Vec& a) {
    return std::sqrt(dot(a, a));
}
inline Vec times(const Vec& a, const Vec& b) {  // element by element
    Vec r(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) r[i] = a[i] * b[i];
    return r;
}
inline Vec axpy(const Vec& y, double t, const Vec& x) {  // y + t·x
    Vec r(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) r[i] = y[i] + t * x[i];
    return r;
}
inline Vec scaled(double t, const Vec& x) {
    Vec r(x);
    for (double& v : r) v *= t;
    return r;
}
inline double sign(double v) {
    return v > 0 ? 1 : v < 0 ? -1 : 0;
}
inline Vec ata(const Dense& A, const Vec& x) {
    return lsq_test::multiplyTransposed(A, lsq_test::multiply(A, x));
}
// q(x) = xᵀ·(½·AᵀA·x + c); g = AᵀA·x + c.
inline double fquad(Vec& g, const Vec& x, const Vec& c, const Dense& A) {
    const Vec t = ata(A, x);
    Vec half(x.size());
    g.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = t[i] + c[i], half[i] = 0.5 * t[i] + c[i];
    return dot(x, half);
}

// Folds y into 0 … 1 with period 2; sigma is the orientation of the folded path.
inline void reflect(Vec& x, Vec& sigma, const Vec& y) {
    x.assign(y.size(), 0);
    sigma.assign(y.size(), 0);
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double w = std::fmod(std::fabs(y[i]), 2.0);
        x[i] = std::min(w, 2 - w);
        sigma[i] = 2 - w >= w ? (y[i] < 0 ? -1 : 1) : (y[i] > 0 ? -1 : 1);
    }
}

// Moves the unknowns lying within del of a bound by del off it; y follows along sigma.
inline void perturb(Vec& x, Vec& y, double del, const Vec& sigma) {
    double nearUpper = kInf, nearLower = kInf;
    for (double v : x) {
        nearUpper = std::min(nearUpper, std::fabs(1 - v));
        nearLower = std::min(nearLower, std::fabs(v));
    }
    if (!(nearUpper < del || nearLower < del))
        return;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = del > 1 - x[i] ? -del : del > x[i] ? del : 0;
        x[i] += t;
        y[i] += sigma[i] * t;
    }
}

// Eigenvalues and eigenvectors (columns of the column-major V) of H (k × k, k = 1 or 2).
inline void eig(Vec& V, Vec& eigval, const Vec& H, int k) {
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
inline double seceqn1(double lambda, const Vec& eigval, const Vec& alpha, double delta) {
    double sum = 0;
    for (std::size_t i = 0; i < eigval.size(); ++i) {
        const double m = eigval[i] + lambda, t = m != 0 ? alpha[i] / m : kInf;
        sum += t * t;
    }
    const double value = std::sqrt(1 / sum);
    return 1 / delta - (std::isnan(value) ? 0 : value);
}

// A zero of seceqn1 to the right of x: bracketing, then Dekker–Brent steps.
inline double rfzero(double x, const Vec& eigval, const Vec& alpha, double delta) {
    auto f = [&](double t) { return seceqn1(t, eigval, alpha, delta); };
    double dx = (x != 0 || std::isnan(x)) ? std::fabs(x) / 2 : 0.5;
    double a = x, fa = f(a), b = x + 1, fb = f(b);
    int count = 2;
    while (count < 51 && (fb > 0) == (fa > 0)) {
        dx = 2 * dx;
        b = x + dx;
        fb = f(b);
        if (++count, fb == 0)
            return b;
    }
    const double tol = 1e-12;
    double c = a, fc = fb, d = 0, e = 0;
    for (;;) {
        if ((fb > 0) == (fc > 0))
            c = a, fc = fa, d = e = b - a;
        if (std::fabs(fc) < std::fabs(fb))  // b becomes the best point
            a = b, b = c, c = a, fa = fb, fb = fc, fc = fa;
        if (count > 50)
            return b;
        const double m = (c - b) / 2, toler = 2 * tol * std::max(std::fabs(b), 1.0);
        if (std::fabs(m) <= toler || fb == 0)
            return b;
        if (std::fabs(e) < toler || std::fabs(fa) <= std::fabs(fb)) {
            d = e = m;
        } else {
            const double s = fb / fa;
            double p, q;
            if (a == c) {  // linear interpolation
                p = 2 * m * s, q = 1 - s;
            } else {  // inverse quadratic interpolation
                q = fa / fc;
                const double r = fb / fc;
                p = s * (2 * m * q * (q - r) - (b - a) * (r - 1));
                q = (q - 1) * (r - 1) * (s - 1);
            }
            if (p > 0)  // make p ≥ 0
                q = -q;
            p = std::fabs(p);
            if (2 * p < 3 * m * q - std::fabs(toler * q) && p < std::fabs(0.5 * e * q))
                e = d, d = p / q;
            else
                d = e = m;
        }
        a = b, fa = fb;
        b = std::fabs(d) > toler ? b + d : (b > c ? b - toler : b + toler);
        fb = f(b);
        if (++count, fb == 0)
            return b;
    }
}

// argmin gᵀs + ½·sᵀHs with norm(s) ≤ delta (approximately), H symmetric of order 1 or 2.
// `branch` tells how lambda was chosen: 0 the Newton step, else the key 2 … 5.
inline Vec trust(const Vec& g, const Vec& H, double delta, int* branch = nullptr) {
    const int k = int(g.size());
    Vec V, eigval, alpha(k, 0.0);
    eig(V, eigval, H, k);
    const int jmin = (k == 2 && eigval[1] < eigval[0]) ? 1 : 0;
    const double mineig = eigval[jmin];
    for (int j = 0; j < k; ++j)
        for (int i = 0; i < k; ++i) alpha[j] -= V[i + k * j] * g[i];
    const double sig = sign(alpha[jmin]) + (alpha[jmin] == 0 ? 1 : 0);
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
    if (branch)
        *branch = 0;
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
    if (branch)
        *branch = key;
    return s;
}

// Preconditioned conjugate gradients on (DM·AᵀA·DM + DG)·p = −g with the diagonal RPC.
inline Vec pcgr(int& posdef, const Vec& DM, const Vec& DG, const Vec& g, int kmax, double tol,
                const Dense& A, const Vec& RPC) {
    const std::size_t n = g.size();
    auto preproj = [&](const Vec& r) {
        Vec w(n);
        for (std::size_t i = 0; i < n; ++i) w[i] = r[i] / (RPC[i] * RPC[i]);
        return w;
    };
    Vec r = scaled(-1, g), p(n, 0.0), d;
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
            return nd != 0 ? scaled(1 / nd, d) : d;
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
// D is the signed scaling diagonal.
inline Vec drqpbox(int& posdef, const Vec& D, const Vec& grad, double delta, const Vec& g,
                   const Vec& dv, double pcgtol, const Dense& A, int kmax) {
    const std::size_t n = g.size();
    Vec DG(n), RPC(n);
    for (std::size_t i = 0; i < n; ++i) {
        DG[i] = D[i] + std::fabs(g[i]) < 1e-4 ? 1e-4 : std::fabs(g[i]) * dv[i];
        RPC[i] = std::max(std::sqrt(D[i] * D[i] + DG[i]), kSqrtEps);
    }
    Vec z1 = pcgr(posdef, D, DG, grad, kmax, pcgtol, A, RPC);
    const double n1 = norm2(z1);
    if (n1 == 0)
        return Vec(n, 0.0);
    for (double& v : z1) v /= n1;
    Vec z2(n);
    for (std::size_t i = 0; i < n; ++i) z2[i] = posdef > 0 ? grad[i] : D[i] * sign(grad[i]);
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
inline void biqpbox(Vec& x, Vec& sigma, double& alpha, const Vec& s, const Vec& c, double strg,
                    const Vec& ox, const Vec& y, const Vec& osig, double oval, int posdef,
                    double normg, const Dense& A) {
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
inline Result sllsbox(const Dense& A, const Vec& b, const Vec& start, double tol, int maxIterations,
                      const std::vector<Vec>* follow = nullptr) {
    const double eps = 2.220446049250313e-16, del = 2.220446049250313e-15;
    const int n = int(b.size()), kmax = n / 2;
    const Vec c = lsq_test::multiplyTransposed(A, scaled(-1, b));
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
        Vec v(n), dv(n, 1.0);
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
            const Vec s = drqpbox(posdef, D, grad, delta, g, dv, 0.1, A, kmax);
            const double strg = dot(s, times(sigma, g));
            const Vec ox = x, osig = sigma;
            if (strg >= 0) {  // not a descent direction
                res.termination = Termination::IllConditioned;
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
            res.termination = Termination::IterationLimit;
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

}  // namespace sllsbox_reference
