// The reflective Newton solver of the box-constrained least-squares deconvolution (Sllsbox.h).
#include "Sllsbox.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <vector>

#include "Avx2Clones.h"
#include "Check.h"
#include "Dispatch.h"
#include "Log.h"
#include "MatrixFilter.h"
#include "MatrixMultiply.h"
#include "MatrixOps.h"
#include "MatrixTransposedMultiply.h"
#include "Timer.h"

namespace velkaro {

extern "C" void dgeev_(const char* jobvl, const char* jobvr, const int* n, double* a,
                       const int* lda, double* wr, double* wi, double* vl, const int* ldvl,
                       double* vr, const int* ldvr, double* work, const int* lwork, int* info,
                       std::size_t jobvlLength, std::size_t jobvrLength);

namespace deconvolve_detail {

namespace {

constexpr double kEps = 2.220446049250313e-16;      // machine epsilon
constexpr double kSqrtEps = 1.4901161193847656e-8;  // its square root, 2^-26
constexpr double kInf = std::numeric_limits<double>::infinity();

// The statistics sink installed on this thread for the solves started on it (SetSllsboxStatsSink):
// read once when a solve starts, then handed on in its context.
thread_local SllsboxStats* tStatsSink = nullptr;

// A dense rows × columns temporary (contents undefined) from the pool of the solve.
class Scratch {
  public:
    Scratch(SolverContext& context, int rows, int columns)
        : mPool(context.pool()), mMatrix(mPool.take(rows, columns)) {}
    ~Scratch() { mPool.give(std::move(mMatrix)); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    Matrix& operator*() { return *mMatrix; }

  private:
    ScratchPool& mPool;
    std::unique_ptr<Matrix> mMatrix;
};

// Processor time of the process, all threads, in seconds.
double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The solver's vector passes. A pass over a long vector is cut into fixed chunks that run on
// the worker pool beside each other; the sums a pass returns are added chunk by chunk in order,
// so a result never depends on which thread ran which chunk. Inside a chunk, sums run in four
// interleaved accumulators, which the compiler turns into vector registers.
constexpr int kPassChunk = 16384;

struct Sum {
    double operator()(double a, double b) const { return a + b; }
};

// Runs body(begin, end, out) over [0, n); out holds K partial results, initially `initial`, which
// `combine` merges in chunk order.
template <int K, class Body, class Combine = Sum>
std::array<double, K> vectorPass(int n, const Body& body, Combine combine = {},
                                 double initial = 0) {
    const int chunks = (n + kPassChunk - 1) / kPassChunk;
    std::array<double, K> sum;
    sum.fill(initial);
    if (chunks < 2) {
        body(0, n, sum.data());
        return sum;
    }
    std::vector<std::array<double, K>> partial(std::size_t(chunks), sum);
    dispatchApply(std::size_t(chunks), [&](std::size_t k) {
        const int begin = int(k) * kPassChunk;
        body(begin, std::min(n, begin + kPassChunk), partial[k].data());
    });
    for (const auto& part : partial)
        for (int j = 0; j < K; ++j) sum[j] = combine(sum[j], part[j]);
    return sum;
}

}  // namespace

std::unique_ptr<Matrix> ScratchPool::take(int rows, int columns) {
    for (auto it = mFree.begin(); it != mFree.end(); ++it)
        if ((*it)->rows() == rows && (*it)->columns() == columns) {
            std::unique_ptr<Matrix> m = std::move(*it);
            mFree.erase(it);
            return m;
        }
    return std::make_unique<Matrix>(rows, columns);
}

void ScratchPool::give(std::unique_ptr<Matrix> m) {
    if (m->isDiagonal())
        m->dediagonalize();
    mFree.push_back(std::move(m));
}

SolverContext::SolverContext(const Matrix& A, SllsboxStats* stats) : mStats(stats) {
    if (A.isFilter() && FilterNormalTransform::pays(A))
        mNormal = std::make_unique<FilterNormalTransform>(A);
}

SolverContext::~SolverContext() = default;

// The chunk kernels of the passes (external linkage: processor-specific clones need it).
namespace passes {

// out[0] = aᵀ·b over [begin, end).
VK_AVX2_CLONES void dotChunk(int begin, int end, const double* __restrict a,
                             const double* __restrict b, double* out) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int i = begin;
    for (; i + 4 <= end; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < end; ++i) s0 += a[i] * b[i];
    out[0] = (s0 + s1) + (s2 + s3);
}

// The preconditioned residual z = r ./ RPCMTX² is never stored: each pass that needs it forms it
// from r and the preconditioner, as r .* (1 / RPCMTX²).
inline double preconditioned(double r, double rp) {
    return r * (1 / (rp * rp));
}

// d = beta·d + z (beta = 0 and d = z on the first iteration, when d already holds z);
// w = dm .* d.
VK_AVX2_CLONES void cgDirection(int begin, int end, double beta, double* __restrict d,
                                double* __restrict w, const double* __restrict r,
                                const double* __restrict rp, const double* __restrict dm,
                                bool first) {
    if (first)
        for (int i = begin; i < end; ++i) w[i] = dm[i] * d[i];
    else
        for (int i = begin; i < end; ++i) {
            d[i] = beta * d[i] + preconditioned(r[i], rp[i]);
            w[i] = dm[i] * d[i];
        }
}

// w = dm .* w + dg .* d (w holds AᵀA·dm·d on entry); out[0] = dᵀ·w.
VK_AVX2_CLONES void cgCurvature(int begin, int end, double* __restrict w,
                                const double* __restrict dm, const double* __restrict dg,
                                const double* __restrict d, double* out) {
    double s[4] = {0, 0, 0, 0};
    int i = begin;
    for (; i + 4 <= end; i += 4)
        for (int j = 0; j < 4; ++j) {
            w[i + j] = dm[i + j] * w[i + j] + dg[i + j] * d[i + j];
            s[j] += d[i + j] * w[i + j];
        }
    for (; i < end; ++i) {
        w[i] = dm[i] * w[i] + dg[i] * d[i];
        s[0] += d[i] * w[i];
    }
    out[0] = (s[0] + s[1]) + (s[2] + s[3]);
}

// p = p + alpha·d, r = r − alpha·w; out = {zᵀ·z, rᵀ·z} for z = r ./ rp².
VK_AVX2_CLONES void cgUpdate(int begin, int end, double alpha, double* __restrict p,
                             double* __restrict r, const double* __restrict d,
                             const double* __restrict w, const double* __restrict rp, double* out) {
    double sz[4] = {0, 0, 0, 0}, sr[4] = {0, 0, 0, 0};
    int i = begin;
    for (; i + 4 <= end; i += 4)
        for (int j = 0; j < 4; ++j) {
            p[i + j] += alpha * d[i + j];
            r[i + j] -= alpha * w[i + j];
            const double z = preconditioned(r[i + j], rp[i + j]);
            sz[j] += z * z;
            sr[j] += r[i + j] * z;
        }
    for (; i < end; ++i) {
        p[i] += alpha * d[i];
        r[i] -= alpha * w[i];
        const double z = preconditioned(r[i], rp[i]);
        sz[0] += z * z;
        sr[0] += r[i] * z;
    }
    out[0] = (sz[0] + sz[1]) + (sz[2] + sz[3]);
    out[1] = (sr[0] + sr[1]) + (sr[2] + sr[3]);
}

// there and its slope along the reflected path.
VK_AVX2_CLONES void pathValueAndSlope(int begin, int end, const double* __restrict x,
                                      const double* __restrict sigma, const double* __restrict h,
                                      const double* __restrict c, const double* __restrict s,
                                      double* out) {
    double v[4] = {0, 0, 0, 0}, sl[4] = {0, 0, 0, 0};
    int i = begin;
    for (; i + 4 <= end; i += 4)
        for (int j = 0; j < 4; ++j) {
            v[j] += x[i + j] * (0.5 * h[i + j] + c[i + j]);
            sl[j] += s[i + j] * (sigma[i + j] * (h[i + j] + c[i + j]));
        }
    for (; i < end; ++i) {
        v[0] += x[i] * (0.5 * h[i] + c[i]);
        sl[0] += s[i] * (sigma[i] * (h[i] + c[i]));
    }
    out[0] = (v[0] + v[1]) + (v[2] + v[3]);
    out[1] = (sl[0] + sl[1]) + (sl[2] + sl[3]);
}

}  // namespace passes

namespace {

// aᵀ·b over all elements.
double dot(const Matrix& a, const Matrix& b) {
    const double* pa = a.roData();
    const double* pb = b.roData();
    return vectorPass<1>(a.rows() * a.columns(), [&](int begin, int end, double* out) {
        passes::dotChunk(begin, end, pa, pb, out);
    })[0];
}

// sᵀ·(sigma .* g): the derivative of q along direction s of the unreflected path.
double directionalSlope(const Matrix& s, const Matrix& sigma, const Matrix& g) {
    const double* ps = s.roData();
    const double* pq = sigma.roData();
    const double* pg = g.roData();
    return vectorPass<1>(s.rows(), [&](int begin, int end, double* out) {
        double sum = 0;
        for (int i = begin; i < end; ++i) sum += ps[i] * (pq[i] * pg[i]);
        out[0] = sum;
    })[0];
}

// One element of `reflect`: y folded into 0 … 1 with period 2, and the orientation there.
inline void reflectPoint(double& x, double& sigma, double y) {
    const double a = std::fabs(y);
    const double w = a < 2 ? a : std::fmod(a, 2.0);  // fmod(a, 2) is a itself below 2
    x = std::min(w, 2 - w);
    if (2 - w >= w)
        sigma = y < 0 ? -1 : 1;
    else
        sigma = y > 0 ? -1 : 1;
}

// x, sigma = reflect(y + t·s), in one pass.
void reflectPath(Matrix& x, Matrix& sigma, const Matrix& y, double t, const Matrix& s) {
    const double* py = y.roData();
    const double* ps = s.roData();
    double* px = x.rwData();
    double* pq = sigma.rwData();
    vectorPass<0>(y.rows(), [&](int begin, int end, double*) {
        for (int i = begin; i < end; ++i) reflectPoint(px[i], pq[i], py[i] + t * ps[i]);
    });
}

}  // namespace

void SetSllsboxStatsSink(SllsboxStats* stats) {
    tStatsSink = stats;
}

void atamult(SolverContext& context, Matrix& y, const Matrix& A, const Matrix& x, int mode) {
    if (mode == 0) {
        Timer timer;
        double cpu = 0;
        SllsboxStats* const stats = context.stats();
        if (stats) {
            timer.start();
            cpu = processCpuSeconds();
        }
        const FilterNormalTransform* normal = context.normal();
        if (normal && &normal->matrix() == &A) {
            VK_CHECK(y.rows() == A.columns());
            VK_CHECK(y.columns() == x.columns());
            VK_CHECK(x.rows() == A.columns());
            normal->apply(y.rwData(), x.roData(), x.columns());
        } else {
            Scratch t(context, A.rows(), x.columns());
            MatrixMultiply(*t, A, x);
            MatrixTransposedMultiply(y, A, *t);
        }
        if (stats) {
            stats->ataProducts += 1;
            stats->ataColumns += x.columns();
            stats->ataSeconds += timer.elapsed();
            stats->ataCpuSeconds += processCpuSeconds() - cpu;
        }
    } else if (mode < 0) {
        MatrixTransposedMultiply(y, A, x);
    } else {
        MatrixMultiply(y, A, x);
    }
}

void fquad(SolverContext& context, Matrix& val, Matrix& g, const Matrix& x, const Matrix& c,
           const Matrix& A, const std::atomic<bool>* cancel) {
    const int n = x.rows();
    Scratch ts(context, n, 1);
    Matrix& t = *ts;
    atamult(context, t, A, x, 0);
    if (cancelled(cancel))
        return;
    // g = t + c and xᵀ·(0.5·t + c) = ½·xᵀAᵀAx + cᵀx in one pass.
    const double* pt = t.roData();
    const double* pc = c.roData();
    const double* px = x.roData();
    double* pg = g.rwData();
    const double value = vectorPass<1>(n, [&](int begin, int end, double* out) {
        double sum = 0;
        for (int i = begin; i < end; ++i) {
            pg[i] = pt[i] + pc[i];
            sum += px[i] * (0.5 * pt[i] + pc[i]);
        }
        out[0] = sum;
    })[0];
    if (cancelled(cancel))
        return;
    val.setValue(value);
}

void definev(Matrix& v, Matrix& dv, const Matrix& g, const Matrix& x) {
    const int n = x.rows();
    VK_CHECK(x.columns() == 1);
    VK_CHECK(v.rows() == n);
    VK_CHECK(v.columns() == 1);
    VK_CHECK(dv.rows() == n);
    VK_CHECK(dv.columns() == 1);
    const double* pg = g.roData();
    const double* px = x.roData();
    double* pv = v.rwData();
    double* pdv = dv.rwData();
    vectorPass<0>(n, [&](int begin, int end, double*) {
        for (int i = begin; i < end; ++i) {
            pv[i] = pg[i] < 0 ? px[i] - 1 : px[i];
            pdv[i] = 1;
        }
    });
}

void reflect(Matrix& x, Matrix& sigma, const Matrix& y) {
    const int n = y.rows();
    VK_CHECK(y.columns() == 1);
    VK_CHECK(x.rows() == n);
    VK_CHECK(x.columns() == 1);
    VK_CHECK(sigma.rows() == n);
    VK_CHECK(sigma.columns() == 1);
    const double* py = y.roData();
    double* px = x.rwData();
    double* ps = sigma.rwData();
    vectorPass<0>(n, [&](int begin, int end, double*) {
        for (int i = begin; i < end; ++i) reflectPoint(px[i], ps[i], py[i]);
    });
}

void perturb(Matrix& x, Matrix& y, const double& del, const Matrix& sigma) {
    VK_CHECK(x.rows() == y.rows());
    VK_CHECK(x.rows() == sigma.rows());
    VK_CHECK(x.columns() == 1);
    VK_CHECK(y.columns() == 1);
    VK_CHECK(sigma.columns() == 1);
    const int n = x.rows();
    double* px = x.rwData();
    double* py = y.rwData();
    const double* ps = sigma.roData();
    const auto near = vectorPass<2>(
        n,
        [&](int begin, int end, double* out) {
            for (int i = begin; i < end; ++i) {
                out[0] = std::min(out[0], std::fabs(1 - px[i]));
                out[1] = std::min(out[1], std::fabs(px[i]));
            }
        },
        [](double a, double b) { return std::min(a, b); }, kInf);
    if (!(near[0] < del) && !(near[1] < del))
        return;
    vectorPass<0>(n, [&](int begin, int end, double*) {
        for (int i = begin; i < end; ++i) {
            if (del > 1 - px[i]) {
                px[i] -= del;
                py[i] -= ps[i] * del;
            } else if (del > px[i]) {
                px[i] += del;
                py[i] += ps[i] * del;
            }
        }
    });
}

void aprecon(Matrix& RPCMTX, const Matrix& A, const Matrix& DM, const Matrix& DG) {
    const int rows = A.rows();
    const int cols = A.columns();
    VK_CHECK(rows >= cols);
    VK_CHECK(DM.isDiagonal());
    const int n = DM.rows();
    VK_CHECK(n == cols);
    VK_CHECK(RPCMTX.rows() == n);
    const double* dm = DM.roDiagonalData();
    const double* dg = DG.roDiagonalData();
    double* r = RPCMTX.rwDiagonalData();
    vectorPass<0>(n, [&](int begin, int end, double*) {
        for (int i = begin; i < end; ++i)
            r[i] = std::max(std::sqrt(dm[i] * dm[i] + dg[i]), kSqrtEps);
    });
}

void preproj(Matrix& w, const Matrix& r, const Matrix& RPCMTX) {
    const int n = RPCMTX.rows();
    VK_CHECK(w.rows() == n);
    VK_CHECK(w.columns() == 1);
    VK_CHECK(r.rows() == n);
    VK_CHECK(r.columns() == 1);
    VK_CHECK(RPCMTX.columns() == n);
    const double* pr = r.roData();
    const double* pc = RPCMTX.roDiagonalData();
    double* pw = w.rwData();
    vectorPass<0>(n, [&](int begin, int end, double*) {
        for (int i = begin; i < end; ++i) pw[i] = pr[i] / (pc[i] * pc[i]);
    });
}

void pcgr(SolverContext& context, Matrix& p, int& posdef, int& pcgit, const Matrix& DM,
          const Matrix& DG, const Matrix& g, int kmax, double tol, const Matrix& A,
          const Matrix& RPCMTX, const std::atomic<bool>* cancel) {
    const int n = DG.rows();
    VK_CHECK(p.rows() == n);
    VK_CHECK(p.columns() == 1);
    VK_CHECK(kmax >= 1);
    // Four work vectors: the residual r, the direction d, w (the operator applied to d, the
    // product taken in place) and the product's own temporary; z = r ./ RPCMTX² is formed where
    // it is used.
    Scratch rs(context, n, 1), ds(context, n, 1), ws(context, n, 1);
    Matrix &r = *rs, &d = *ds, &w = *ws;
    MatrixNegate(r, g);
    p.loadZeros();
    preproj(d, r, RPCMTX);  // z, which is the first direction
    const double stoptol = tol * norm(d);
    double inner1 = dot(r, d);
    double inner2 = 0;
    posdef = 1;
    double* pp = p.rwData();
    double* pr = r.rwData();
    double* pd = d.rwData();
    double* pw = w.rwData();
    const double* prp = RPCMTX.roDiagonalData();
    const double* pdm = DM.roDiagonalData();
    const double* pdg = DG.roDiagonalData();
    for (int k = 1;; ++k) {
        pcgit = k;
        if (cancelled(cancel))
            return;
        // d = z on the first iteration, else (inner1 / inner2)·d + z; w = DM·d.
        const double beta = k == 1 ? 0 : inner1 / inner2;
        vectorPass<0>(n, [&](int begin, int end, double*) {
            passes::cgDirection(begin, end, beta, pd, pw, pr, prp, pdm, k == 1);
        });
        // w = DM·(AᵀA·DM·d) + DG·d, denom = dᵀ·w.
        atamult(context, w, A, w, 0);
        const double denom = vectorPass<1>(n, [&](int begin, int end, double* out) {
            passes::cgCurvature(begin, end, pw, pdm, pdg, pd, out);
        })[0];
        if (denom <= 0) {
            const double nd = norm(d);
            if (nd != 0)
                MatrixScalarMulAdd(p, d, 1 / nd, 0);
            else
                MatrixCopy(p, d);
            posdef = 0;
            return;
        }
        // p = p + alpha·d, r = r − alpha·w, with norm(z) and rᵀz of the new z.
        const double alpha = inner1 / denom;
        const auto [zz, rz] = vectorPass<2>(n, [&](int begin, int end, double* out) {
            passes::cgUpdate(begin, end, alpha, pp, pr, pd, pw, prp, out);
        });
        if (std::sqrt(zz) <= stoptol)
            return;
        inner2 = inner1;
        inner1 = rz;
        if (k + 1 > kmax)
            return;
    }
}

void eig(Matrix& V, Matrix& D, const Matrix& X) {
    const int n = X.rows();
    VK_CHECK(n == X.columns());
    VK_CHECK(n == V.columns());
    VK_CHECK(n == D.columns());
    VK_CHECK(n == V.rows());
    VK_CHECK(n == D.rows());
    VK_CHECK(n <= 2);
    if (n == 1) {
        V.setValue(1);
        D.setValue(X.value());
        return;
    }
    VK_CHECK(n == 2);
    double a[4];
    std::memcpy(a, X.roData(), sizeof a);
    double wr[2], wi[2], vl[1], vr[4], work[100];
    const int order = 2, lda = 2, ldvl = 1, ldvr = 2, lwork = 100;
    int r = 0;
    dgeev_("N", "V", &order, a, &lda, wr, wi, vl, &ldvl, vr, &ldvr, work, &lwork, &r, 1, 1);
    VK_CHECK(r == 0);
    double* pd = D.rwData();
    pd[0] = wr[0];
    pd[1] = 0;
    pd[2] = 0;
    pd[3] = wr[1];
    double* pv = V.rwData();
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) pv[i * 2 + j] = vr[i + 2 * j];
}

void seceqn(Matrix& value, const Matrix& lambda, const Matrix& eigval, const Matrix& alpha,
            double delta) {
    VK_CHECK(lambda.columns() == 1);
    VK_CHECK(eigval.columns() == 1);
    const int n = eigval.rows();
    VK_CHECK(alpha.rows() == n);
    const int m = lambda.rows();
    const double* pl = lambda.roData();
    const double* pe = eigval.roData();
    const double* pa = alpha.roData();
    double* pv = value.rwData();
    for (int j = 0; j < m; ++j) {
        double sum = 0;
        for (int i = 0; i < n; ++i) {
            const double M = pe[i] + pl[j];
            const double t = M != 0 ? pa[i] / M : kInf;
            sum += t * t;
        }
        double v = std::sqrt(1 / sum);
        if (std::isnan(v))
            v = 0;
        pv[j] = 1 / delta - v;
    }
}

double seceqn1(double lambda, const Matrix& eigval, const Matrix& alpha, double delta) {
    Matrix l(1, 1), v(1, 1);
    l.setValue(lambda);
    seceqn(v, l, eigval, alpha, delta);
    return v.value();
}

double rfzero(double x, const Matrix& eigval, const Matrix& alpha, double delta) {
    auto f = [&](double t) { return seceqn1(t, eigval, alpha, delta); };
    const double tol = 1e-12;
    double dx = (x != 0 || std::isnan(x)) ? std::fabs(x) / 2 : 0.5;
    double a = x, fa = f(a);
    double b = x + 1, fb = f(b);
    int count = 2;
    // Step to the right, doubling, until the sign changes.
    while (count < 51 && (fb > 0) == (fa > 0)) {
        dx = 2 * dx;
        b = x + dx;
        fb = f(b);
        ++count;
        if (fb == 0)
            return b;
    }
    double c = a, fc = fb, d = 0, e = 0;
    for (;;) {
        if ((fb > 0) == (fc > 0)) {
            c = a;
            fc = fa;
            d = e = b - a;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        if (count > 50)
            return b;
        const double m = 0.5 * (c - b);
        const double toler = 2.0 * tol * std::max(std::fabs(b), 1.0);
        if (std::fabs(m) <= toler || fb == 0)
            return b;
        if (std::fabs(e) < toler || std::fabs(fa) <= std::fabs(fb)) {
            d = e = m;  // bisection
        } else {
            const double s = fb / fa;
            double p, q;
            if (a == c) {  // linear interpolation
                p = 2 * m * s;
                q = 1 - s;
            } else {  // inverse quadratic interpolation
                q = fa / fc;
                const double r = fb / fc;
                p = s * (2 * m * q * (q - r) - (b - a) * (r - 1));
                q = (q - 1) * (r - 1) * (s - 1);
            }
            if (p > 0)
                q = -q;
            else
                p = -p;
            if (2 * p < 3 * m * q - std::fabs(toler * q) && p < std::fabs(0.5 * e * q)) {
                e = d;
                d = p / q;
            } else {
                d = e = m;
            }
        }
        a = b;
        fa = fb;
        if (std::fabs(d) > toler)
            b += d;
        else
            b = b > c ? b - toler : b + toler;
        fb = f(b);
        ++count;
        if (fb == 0)
            break;
    }
    return b;
}

namespace {

// coeff(i) = alpha(i) / (eigval(i) + lam), with 0 for 0/0 and NaN and +inf for x/0, then
// s = V·coeff.
void trustStep(Matrix& s, const Matrix& V, const Matrix& eigval, const Matrix& alpha, double lam) {
    const int n = alpha.rows();
    VK_CHECK(alpha.rows() == n);
    VK_CHECK(alpha.columns() == 1);
    VK_CHECK(alpha.rows() == eigval.rows());
    Matrix coeff(n, 1);
    const double* pe = eigval.roData();
    const double* pa = alpha.roData();
    double* pc = coeff.rwData();
    for (int i = 0; i < n; ++i) {
        const double w = pe[i] + lam;
        if (w != 0) {
            const double q = pa[i] / w;
            pc[i] = std::isnan(q) ? 0 : q;
        } else {
            pc[i] = pa[i] == 0 ? 0 : kInf;
        }
    }
    MatrixMultiply(s, V, coeff);
}

}  // namespace

void trust(Matrix& s, const Matrix& g, const Matrix& H, double delta) {
    VK_CHECK(g.columns() == 1);
    const int n = g.rows();
    s.loadZeros();
    Matrix V(n, n), Dm(n, n), eigval(n, 1), alpha(n, 1);
    eig(V, Dm, H);
    MatrixDediagonalize(eigval, Dm);
    const double* pe = eigval.roData();
    int jmin = 0;
    for (int i = 1; i < n; ++i)
        if (pe[i] < pe[jmin])
            jmin = i;
    const double mineig = pe[jmin];
    MatrixTransposedMultiply(alpha, V, g);
    MatrixNegate(alpha, alpha);
    double* pa = alpha.rwData();
    const double aj = pa[jmin];
    const double sig = (aj < 0 ? -1.0 : aj > 0 ? 1.0 : 0.0) + (aj == 0 ? 1.0 : 0.0);

    double laminit;
    if (mineig > 0) {
        Matrix coeff(n, 1);
        MatrixComponentDivide(coeff, alpha, eigval);
        MatrixMultiply(s, V, coeff);
        if (norm(s) <= 1.2 * delta)
            return;
        laminit = 0;
    } else {
        laminit = -mineig;
    }

    double lambda;
    int key;
    if (seceqn1(laminit, eigval, alpha, delta) > 0) {
        const double b = rfzero(laminit, eigval, alpha, delta);
        const double vb = seceqn1(b, eigval, alpha, delta);
        if (!(std::fabs(vb) <= 1e-8)) {
            lambda = -mineig;
            key = 3;
        } else {
            lambda = b;
            key = 2;
            trustStep(s, V, eigval, alpha, lambda);
            const double ns = norm(s);
            if (ns > 1.2 * delta || ns < 0.8 * delta) {
                lambda = -mineig;
                key = 5;
            }
        }
    } else {
        lambda = -mineig;
        key = 4;
    }

    Matrix lam(n, 1);
    lam.fill(lambda);
    VK_CHECK(alpha.rows() == lam.rows());
    if (key > 2) {
        for (int i = 0; i < n; ++i)
            if (std::fabs(pe[i] + lambda) < 10 * kEps * std::max(std::fabs(pe[i]), 1.0))
                pa[i] = 0;
    }
    trustStep(s, V, eigval, alpha, lambda);
    const double nrms = norm(s);
    if (key > 2 && nrms < 0.8 * delta) {
        VK_CHECK(jmin < V.columns());
        const double beta = std::sqrt(delta * delta - nrms * nrms) * sig;
        double* ps = s.rwData();
        const double* pv = V.roData();
        for (int i = 0; i < n; ++i) ps[i] += beta * pv[i * n + jmin];
    }
    if (key > 2 && nrms > 1.2 * delta) {
        const double b = rfzero(laminit, eigval, alpha, delta);
        trustStep(s, V, eigval, alpha, b);
    }
}

void drqpbox(SolverContext& context, Matrix& s, int& posdef, int& pcgit, const Matrix& D,
             const Matrix& grad, double delta, const Matrix& g, double pcgtol, const Matrix& A,
             int kmax, const std::atomic<bool>* cancel) {
    VK_CHECK(grad.columns() == 1);
    const int n = grad.rows();
    VK_CHECK(s.rows() == n);
    VK_CHECK(s.columns() == 1);
    pcgit = 0;
    // DG = abs(g) .* dv with the scaling dv of definev, which is 1 for every unknown.
    Scratch DGs(context, n, 1), RPCMTXs(context, n, 1);
    Matrix &DG = *DGs, &RPCMTX = *RPCMTXs;
    DG.diagonalize();
    {
        const double* pd = D.roDiagonalData();
        const double* pg = g.roData();
        double* pdg = DG.rwDiagonalData();
        vectorPass<0>(n, [&](int begin, int end, double*) {
            for (int i = begin; i < end; ++i)
                pdg[i] = pd[i] + std::fabs(pg[i]) < 1e-4 ? 1e-4 : std::fabs(pg[i]);
        });
    }
    RPCMTX.diagonalize();
    aprecon(RPCMTX, A, D, DG);

    // The Newton direction z1 is built in s, which the step overwrites at the end.
    Matrix& z1 = s;
    pcgr(context, z1, posdef, pcgit, D, DG, grad, kmax, pcgtol, A, RPCMTX, cancel);
    if (cancelled(cancel))
        return;
    const double n1 = norm(z1);
    if (n1 == 0) {
        s.loadZeros();
        return;
    }
    MatrixScalarMulAdd(z1, z1, 1 / n1, 0);

    Scratch z2s(context, n, 1);
    Matrix& z2 = *z2s;
    if (posdef > 0) {
        MatrixScalarMulAdd(z2, grad, 1 / norm(grad), 0);
    } else {
        // RPCMTX is free again: it holds D·sign(grad).
        RPCMTX.dediagonalize();
        MatrixSign(z2, grad);
        MatrixMultiply(RPCMTX, D, z2);
        MatrixScalarMulAdd(z2, RPCMTX, 1 / norm(RPCMTX), 0);
    }
    const double t = dot(z1, z2);
    MatrixScaledAdd(z2, z2, -t, z1);
    const double nrm = norm(z2);

    // The subspace Z = [z1 z2] when z2 keeps an independent part, else z1 alone; its columns
    // stay in z1 and z2.
    const int k = nrm > kSqrtEps ? 2 : 1;
    if (k == 2) {
        double* p2 = z2.rwData();
        vectorPass<0>(n, [&](int begin, int end, double*) {
            for (int i = begin; i < end; ++i) p2[i] = p2[i] / nrm;
        });
    }
    const double* columns[2] = {z1.roData(), z2.roData()};

    // MM = Zᵀ·(D·AᵀA·D + DG)·Z and rhs = Zᵀ·grad, one column of Z at a time.
    Matrix MM(k, k), rhs(k, 1), st(k, 1);
    Scratch Ws(context, n, 1);
    Matrix& W = *Ws;
    const double* pd = D.roDiagonalData();
    const double* pdg = DG.roDiagonalData();
    const double* pgrad = grad.roData();
    double* pm = MM.rwData();
    for (int j = 0; j < k; ++j) {
        const double* zj = columns[j];
        double* pw = W.rwData();
        vectorPass<0>(n, [&](int begin, int end, double*) {
            for (int i = begin; i < end; ++i) pw[i] = pd[i] * zj[i];
        });
        atamult(context, W, A, W, 0);
        if (cancelled(cancel))
            return;
        // Column j: ziᵀ·(D·W) + ziᵀ·(DG·zj) for each i, and zjᵀ·grad.
        const auto sums = vectorPass<5>(n, [&](int begin, int end, double* out) {
            for (int i = begin; i < end; ++i) {
                const double u = pd[i] * pw[i];
                const double v = pdg[i] * zj[i];
                out[0] += columns[0][i] * u;
                out[1] += columns[0][i] * v;
                if (k == 2) {
                    out[2] += columns[1][i] * u;
                    out[3] += columns[1][i] * v;
                }
                out[4] += zj[i] * pgrad[i];
            }
        });
        for (int i = 0; i < k; ++i) pm[i * k + j] = sums[2 * i] + sums[2 * i + 1];
        rhs.rwData()[j] = sums[4];
    }
    if (k == 2) {
        // The model matrix is symmetric; rounding in the products can leave the two
        // off-diagonal elements unequal, which could hand the eigen-solver a complex pair.
        pm[1] = pm[2] = 0.5 * (pm[1] + pm[2]);
    }

    trust(st, rhs, MM, delta);
    // s = abs(D) .* (Z·st), over z1 in place.
    const double s0 = st.roData()[0];
    const double s1 = k == 2 ? st.roData()[1] : 0;
    double* ps = s.rwData();
    const double* p2 = z2.roData();
    vectorPass<0>(n, [&](int begin, int end, double*) {
        if (k == 2)
            for (int i = begin; i < end; ++i) ps[i] = std::fabs(pd[i]) * (ps[i] * s0 + p2[i] * s1);
        else
            for (int i = begin; i < end; ++i) ps[i] = std::fabs(pd[i]) * (ps[i] * s0);
    });
}

void biqpbox(SolverContext& context, Matrix& x, Matrix& sigma, double& alpha, const Matrix& s,
             const Matrix& c, double strg, const Matrix& ox, const Matrix& y, const Matrix& osig,
             double oval, int posdef, double normg, const Matrix& A,
             const std::atomic<bool>* cancel) {
    const int n = s.rows();
    Scratch Hs(context, n, 1), xts(context, n, 1), sigts(context, n, 1);
    Matrix &H = *Hs, &xt = *xts, &sigt = *sigts;
    // The curvature along osig .* s, with xt as the work vector.
    MatrixComponentMultiply(xt, osig, s);
    if (cancelled(cancel))
        return;
    atamult(context, H, A, xt, 0);
    const double curv = dot(xt, H);
    if (cancelled(cancel))
        return;
    const double pcurv = std::min(0.0, 0.5 * curv);

    double tau;
    if (posdef >= 1) {
        alpha = 1;
        tau = normg * 1e8;
    } else {
        alpha = 2;
        tau = kInf;
    }

    // Evaluates the reflected path at step t into xt, sigt; false when cancelled.
    double valT = 0, slopeT = 0;
    const double* pc = c.roData();
    auto evaluate = [&](double t) {
        reflectPath(xt, sigt, y, t, s);
        if (cancelled(cancel))
            return false;
        atamult(context, H, A, xt, 0);
        const double* ph = H.roData();
        const auto [value, slope] = vectorPass<2>(n, [&](int begin, int end, double* out) {
            passes::pathValueAndSlope(begin, end, xt.roData(), sigt.roData(), ph, pc, s.roData(),
                                      out);
        });
        valT = value;
        slopeT = slope;
        return !cancelled(cancel);
    };
    auto model = [&](double t) { return t * strg + t * t * pcurv; };
    auto accept = [&]() {
        MatrixCopy(x, xt);
        MatrixCopy(sigma, sigt);
    };
    auto giveUp = [&]() {
        alpha = 0;
        if (&x != &ox)
            MatrixCopy(x, ox);
        if (&sigma != &osig)
            MatrixCopy(sigma, osig);
    };

    if (!evaluate(alpha))
        return;
    double fA, acceptedSlope;
    if (valT < oval + 1e-8 * model(alpha)) {
        accept();
        fA = valT;
        acceptedSlope = slopeT;
    } else {
        // Bisection on 0 … hi with a sufficient-decrease test.
        double lo = 0, hi = alpha;
        bool found = false;
        for (int k = 1;; ++k) {
            if (cancelled(cancel))
                return;
            const double mid = 0.5 * (lo + hi);
            if (!evaluate(mid))
                return;
            if (valT < oval + 0.9 * model(mid)) {
                lo = mid;
            } else if (valT <= oval + 1e-8 * model(mid)) {
                // A point accepted as the fourteenth is not used.
                found = k <= 13;
                if (found) {
                    accept();
                    alpha = mid;
                    fA = valT;
                    acceptedSlope = slopeT;
                }
                break;
            } else {
                hi = mid;
            }
            if (k + 1 == 15)
                break;
        }
        if (!found) {
            giveUp();
            return;
        }
    }

    // Refinement between the accepted step and one up to 50 % longer.
    double a = alpha;
    double e = a + std::min(0.5, tau) * a;
    if (!evaluate(e))
        return;
    double fE = valT;
    const bool down = acceptedSlope < 0;
    for (int step = 0; step < 4; ++step) {
        if (cancelled(cancel))
            return;
        const double mid = 0.5 * (a + e);
        if (!evaluate(mid))
            return;
        const bool sameWay = down ? slopeT < 0 : slopeT > 0;
        if (valT < fA && sameWay) {
            a = mid;
            fA = valT;
        } else {
            e = mid;
            fE = valT;
        }
    }
    if (cancelled(cancel))
        return;
    if (fA < fE)
        alpha = a;
    else if (fE < fA)
        alpha = e;
    else
        alpha = down ? a : e;
    reflectPath(x, sigma, y, alpha, s);
}

SolverReport sllsbox(Matrix& x, const Matrix& A, const Matrix& b, const Matrix& start, double tol,
                     int maxIterations, const std::atomic<bool>* cancel, int w, int h,
                     const IterateObserver* observer, const MethodProgress* progress) {
    const int n = b.rows();
    VK_CHECK(w * h == n);
    VK_CHECK(n > 1);
    VK_CHECK(b.columns() == 1);
    Timer timer;
    timer.start();
    // Everything the helpers share for this solve; the sink is the one installed on this thread.
    SolverContext context(A, tStatsSink);
    SllsboxStats* const stats = context.stats();
    const double cpuStart = stats ? processCpuSeconds() : 0;
    int it = 1;
    struct Finish {
        SllsboxStats* stats;
        const Timer& timer;
        double cpuStart;
        const int& it;
        ~Finish() {
            if (!stats)
                return;
            stats->solves += 1;
            stats->iterations += it;
            stats->seconds += timer.elapsed();
            stats->cpuSeconds += processCpuSeconds() - cpuStart;
        }
    } finish{stats, timer, cpuStart, it};
    double val = 0;
    auto report = [&](SolverEnd end, double objective) { return SolverReport{it, end, objective}; };

    const double del = 10 * kEps;
    const int kmax = n / 2;
    const double pcgtol = 0.1;

    // c = −Aᵀ·b, formed before x is written: x, b and start may be one matrix.
    Matrix c(n, 1);
    atamult(context, c, A, b, -1);
    MatrixNegate(c, c);
    if (&x != &start)
        MatrixCopy(x, start);
    Matrix y(n, 1), sigma(n, 1);
    MatrixCopy(y, x);
    sigma.fill(1);
    int posdef = 0;
    const double tol2 = std::sqrt(tol);

    Matrix valM(1, 1), g(n, 1), s(n, 1);
    fquad(context, valM, g, x, c, A, cancel);
    if (cancelled(cancel))
        return report(SolverEnd::Cancelled, val);
    val = valM.value();

    // Besides x, c, y, sigma, g and s, the vectors of an iteration come from the pool and go back
    // as soon as they are used, so that later parts of the iteration reuse their storage.
    double ratio = kInf, prevDiff = 0, oval = kInf;
    // The progress estimate: how many of the decades between the first decrease of the objective
    // and the tolerance the decrease has come down (the count of iterations is not known).
    double firstDiff = 0, estimate = 0;
    for (;;) {
        if (observer)
            (*observer)(x);
        const double diff = std::fabs(oval - val);
        if (it > 1)
            ratio = prevDiff / std::max(diff, kEps);
        if (progress) {
            if (it == 2)
                firstDiff = diff;
            const double target = tol * (1 + std::fabs(val));
            if (it > 2 && firstDiff > target && diff > 0)
                estimate = std::max(estimate, std::min(0.99, std::log(firstDiff / diff) /
                                                                 std::log(firstDiff / target)));
            ReportProgress(progress, estimate, it, 0);
        }
        Scratch Ds(context, n, 1), grads(context, n, 1);
        Matrix &D = *Ds, &grad = *grads;
        bool done = false, illConditioned = false;
        double newVal = val, normg = 0, delta = 0;
        {
            Scratch vs(context, n, 1), dvs(context, n, 1);
            Matrix& v = *vs;
            definev(v, *dvs, g, x);
            // optnrm = norminf(v .* g).
            const double* pv = v.roData();
            const double* pg = g.roData();
            const double optnrm = vectorPass<1>(
                n,
                [&](int begin, int end, double* out) {
                    for (int i = begin; i < end; ++i)
                        out[0] = std::max(out[0], std::fabs(pv[i] * pg[i]));
                },
                [](double a, double b) { return std::max(a, b); })[0];
            if (cancelled(cancel))
                return report(SolverEnd::Cancelled, val);

            if (diff < tol * (1 + std::fabs(val)))
                done = true;
            else if ((diff < tol2 * (1 + std::fabs(val)) && ratio < 3.5) ||
                     (optnrm < tol && posdef == 1))
                done = true;

            if (!done) {
                // D = diag(sqrt(abs(v)) .* sigma), grad = D·g, with the squared norms of grad
                // and v.
                D.diagonalize();
                double* pD = D.rwDiagonalData();
                double* pgrad = grad.rwData();
                const double* psigma = sigma.roData();
                const auto squares = vectorPass<2>(n, [&](int begin, int end, double* out) {
                    for (int i = begin; i < end; ++i) {
                        pD[i] = std::sqrt(std::fabs(pv[i])) * psigma[i];
                        pgrad[i] = pD[i] * pg[i];
                        out[0] += pgrad[i] * pgrad[i];
                        out[1] += pv[i] * pv[i];
                    }
                });
                normg = std::sqrt(squares[0]);
                const double nv = std::sqrt(squares[1]);
                delta = nv < 1 ? 1 : std::min(nv, 1000.0);
            }
        }

        if (!done) {
            if (cancelled(cancel))
                return report(SolverEnd::Cancelled, val);
            int pcgit = 0;
            drqpbox(context, s, posdef, pcgit, D, grad, delta, g, pcgtol, A, kmax, cancel);
            if (cancelled(cancel))
                return report(SolverEnd::Cancelled, val);
            const double strg = directionalSlope(s, sigma, g);
            // A NaN slope (a degenerate step) is treated like an ascent direction: stepping
            // along it would corrupt the iterate.
            if (!(strg < 0)) {
                LogInfo(
                    "Optimization terminated: ill-conditioning prevents further "
                    "optimization.\n");
                done = illConditioned = true;
            } else {
                // The line search starts from x and sigma and writes them only once its step
                // is settled.
                double alpha = 0;
                biqpbox(context, x, sigma, alpha, s, c, strg, x, y, sigma, val, posdef, normg, A,
                        cancel);
                if (cancelled(cancel))
                    return report(SolverEnd::Cancelled, val);
                MatrixScaledAdd(y, y, alpha, s);
                perturb(x, y, del, sigma);
                fquad(context, valM, g, x, c, A, cancel);
                if (cancelled(cancel))
                    return report(SolverEnd::Cancelled, val);
                ++it;
                newVal = valM.value();
            }
        }
        if (it >= maxIterations) {
            LogInfo("Maximum number of iterations exceeded\n");
            return report(SolverEnd::IterationLimit, newVal);
        }
        oval = val;
        prevDiff = diff;
        if (done)
            return report(illConditioned ? SolverEnd::IllConditioned : SolverEnd::Converged, val);
        val = newVal;
    }
}

}  // namespace deconvolve_detail

}  // namespace velkaro
