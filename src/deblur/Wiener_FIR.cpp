#include "Wiener_FIR.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "Check.h"
#include "FftPlans.h"
#include "Filter.h"
#include "Log.h"
#include "Matrix.h"
#include "MatrixOps.h"
#include "MatrixSolve.h"
#include "MethodSupport.h"
#include "Planar.h"
#include "Timer.h"

namespace velkaro {

namespace {

// Square, odd-sized matrices indexed by offsets from their centre.
int halfWidth(const Matrix& m) {
    return (m.rows() - 1) / 2;
}

// Number of the symmetry class of the positions (±a, ±b) and (±b, ±a), a ≥ b ≥ 0.
int symmetryClass(int p, int q) {
    const int a = std::max(std::abs(p), std::abs(q)), b = std::min(std::abs(p), std::abs(q));
    return a * (a + 1) / 2 + b;
}

void checkSquareOdd(const Matrix& r, const Matrix& a, const Matrix& b) {
    VK_CHECK(r.rows() == r.columns());
    VK_CHECK(r.rows() % 2 == 1);
    VK_CHECK(a.rows() == a.columns());
    VK_CHECK(a.rows() % 2 == 1);
    VK_CHECK(b.rows() == b.columns());
    VK_CHECK(b.rows() % 2 == 1);
}

// r(i, j) = Σ a(p, q) · b(i − p, j − q) over r's extent; terms outside b are skipped.
void convolve_mat(Matrix& r, const Matrix& a, const Matrix& b) {
    checkSquareOdd(r, a, b);
    const int R = halfWidth(r), A = halfWidth(a), B = halfWidth(b);
    const int rn = r.rows(), an = a.rows(), bn = b.rows();
    double* rd = r.rwData();
    const double* ad = a.roData();
    const double* bd = b.roData();
    r.loadZeros();
    // Every r(i, j) receives its terms in the order of (p, q), row by row.
    for (int p = -A; p <= A; ++p)
        for (int q = -A; q <= A; ++q) {
            const double av = ad[(p + A) * an + (q + A)];
            if (av == 0)
                continue;  // adds nothing
            for (int i = std::max(-R, p - B); i <= std::min(R, p + B); ++i) {
                double* row = rd + std::size_t(i + R) * rn;
                const double* brow = bd + std::size_t(i - p + B) * bn;
                for (int j = std::max(-R, q - B); j <= std::min(R, q + B); ++j)
                    row[j + R] += av * brow[j - q + B];
            }
        }
}

// r(i, j) = Σ a(p, q) · b(p + i, q + j) over r's extent; terms outside b are skipped.
void convolve_star_mat(Matrix& r, const Matrix& a, const Matrix& b) {
    checkSquareOdd(r, a, b);
    const int R = halfWidth(r), A = halfWidth(a), B = halfWidth(b);
    const int rn = r.rows(), an = a.rows(), bn = b.rows();
    double* rd = r.rwData();
    const double* ad = a.roData();
    const double* bd = b.roData();
    r.loadZeros();
    for (int p = -A; p <= A; ++p)
        for (int q = -A; q <= A; ++q) {
            const double av = ad[(p + A) * an + (q + A)];
            if (av == 0)
                continue;
            for (int i = std::max(-R, -B - p); i <= std::min(R, B - p); ++i) {
                double* row = rd + std::size_t(i + R) * rn;
                const double* brow = bd + std::size_t(p + i + B) * bn;
                for (int j = std::max(-R, -B - q); j <= std::min(R, B - q); ++j)
                    row[j + R] += av * brow[q + j + B];
            }
        }
}

// The image model: correlation gamma^distance, for offsets up to 4Rg in each direction.
void imageCorrelation(Matrix& ruv, int Rg, double gamma) {
    const int nr = 8 * Rg + 1;
    double* rv = ruv.rwData();
    for (int u = -4 * Rg; u <= 4 * Rg; ++u)
        for (int v = -4 * Rg; v <= 4 * Rg; ++v)
            rv[std::size_t(u + 4 * Rg) * nr + (v + 4 * Rg)] =
                std::pow(gamma, std::sqrt(double(u * u + v * v)));
}

// Fills g ((2Rg + 1)²) with the inverse filter of the kernel h (not normalised). Returns
// LAPACK's status: non-zero when the normal equations are singular.
int compute_g(Matrix& g, const Matrix& h, int Rg, double gamma, double noise, bool verbose) {
    Matrix ruv(8 * Rg + 1, 8 * Rg + 1);
    imageCorrelation(ruv, Rg, gamma);

    Matrix A(6 * Rg + 1, 6 * Rg + 1);  // cross-correlation of blurred and sharp image
    convolve_mat(A, h, ruv);
    Matrix B(4 * Rg + 1, 4 * Rg + 1);  // autocorrelation of the blurred image, without noise
    convolve_star_mat(B, h, A);

    const int m = (Rg + 1) * (Rg + 2) / 2;
    Matrix s(m, m);  // row l: equation l, column k: unknown k (row-major here)
    s.loadZeros();
    Matrix b(m, 1);
    double* sd = s.rwData();
    double* bd = b.rwData();
    const int An = A.rows(), Bn = B.rows();
    for (int i = 0; i <= Rg; ++i)
        for (int j = 0; j <= i; ++j) {
            const int l = symmetryClass(i, j);
            for (int p = -Rg; p <= Rg; ++p)
                for (int q = -Rg; q <= Rg; ++q) {
                    double& c = sd[std::size_t(l) * m + symmetryClass(p, q)];
                    c += B.roData()[std::size_t(i - p + 2 * Rg) * Bn + (j - q + 2 * Rg)];
                    if (p == i && q == j)
                        c += noise;
                }
            bd[l] = A.roData()[std::size_t(i + 3 * Rg) * An + (j + 3 * Rg)];
        }
    if (verbose) {
        h.dump("Convolution");
        A.dump("h_conv_ruv");
        B.dump("a");
        s.dump("s");
        b.dump("b");
    }

    const int info = MatrixSolve(b, s);
    if (verbose) {
        LogInfo("dgesv status: %d\n", info);
        b.dump("b after");
    }

    const int gn = 2 * Rg + 1;
    VK_CHECK(g.rows() == gn && g.columns() == gn);
    g.loadZeros();
    double* gd = g.rwData();
    for (int u = -Rg; u <= Rg; ++u)
        for (int v = -Rg; v <= Rg; ++v)
            gd[std::size_t(u + Rg) * gn + (v + Rg)] = bd[symmetryClass(u, v)];
    if (verbose)
        g.dump("deconvolution");
    return info;
}

// Dense solve of the general design below, kept for a system the iteration does not settle.
int solveDenseGeneral(Matrix& g, const Matrix& A, const Matrix& B, int Rg, double noise) {
    const int gn = 2 * Rg + 1;
    const int m = gn * gn;
    Matrix s(m, m);
    Matrix b(m, 1);
    double* sd = s.rwData();
    double* bd = b.rwData();
    const int An = A.rows(), Bn = B.rows();
    for (int i = -Rg; i <= Rg; ++i)
        for (int j = -Rg; j <= Rg; ++j) {
            const std::size_t l = std::size_t(i + Rg) * gn + (j + Rg);
            double* row = sd + l * m;
            for (int p = -Rg; p <= Rg; ++p)
                for (int q = -Rg; q <= Rg; ++q)
                    row[std::size_t(p + Rg) * gn + (q + Rg)] =
                        B.roData()[std::size_t(i - p + 2 * Rg) * Bn + (j - q + 2 * Rg)];
            row[l] += noise;
            bd[l] = A.roData()[std::size_t(i + 3 * Rg) * An + (j + 3 * Rg)];
        }
    const int info = MatrixSolve(b, s);
    std::copy_n(b.roData(), m, g.rwData());
    return info;
}

// The normal matrix of the general design is a two-level Toeplitz matrix, S(e, e') = B(e − e') +
// noise · δ: a product with it is a convolution with B restricted to the filter's window, exact as
// a circular convolution on any grid of at least 4Rg + 1 (B reaches 2Rg, the window Rg). The system
// is solved by preconditioned conjugate gradients (Hestenes & Stiefel 1952) with the circulant
// approximation of S on that grid as the preconditioner (Strang 1986; Chan & Ng 1996, "Conjugate
// gradient methods for Toeplitz systems"): its inverse is a division by max(B̂, 0) + noise.
class ToeplitzSystem {
  public:
    ToeplitzSystem(const Matrix& B, int Rg, double noise)
        : mRg(Rg),
          mN(fftGoodSize(4 * Rg + 1)),
          mHalf(mN / 2 + 1),
          mStride(2 * mHalf),
          mNoise(noise),
          mPlans(realFftPlansD(mN, mN)),
          mPlane(fftw_alloc_complex(std::size_t(mN) * mHalf)),
          mProduct(std::size_t(mN) * mHalf),
          mInverse(std::size_t(mN) * mHalf) {
        VK_CHECK(mPlane);
        double* p = real();
        std::fill_n(p, std::size_t(mN) * mStride, 0.0);
        const int Bn = B.rows(), Bc = (Bn - 1) / 2;
        for (int i = -Bc; i <= Bc; ++i)
            for (int j = -Bc; j <= Bc; ++j)
                p[std::size_t(wrap(i)) * mStride + wrap(j)] =
                    B.roData()[std::size_t(i + Bc) * Bn + (j + Bc)];
        fftw_execute_dft_r2c(mPlans.forward, p, mPlane.get());
        const double scale = 1.0 / (double(mN) * mN);  // the inverse transform's
        for (std::size_t k = 0; k < mProduct.size(); ++k) {
            // B is symmetric under a half turn: its transform is real.
            const double b = mPlane.get()[k][0];
            mProduct[k] = b * scale;
            mInverse[k] = scale / (std::max(b, 0.0) + noise);
        }
    }
    ToeplitzSystem(const ToeplitzSystem&) = delete;
    ToeplitzSystem& operator=(const ToeplitzSystem&) = delete;

    // out = S · v over the (2Rg + 1)² window (row-major).
    void multiply(const std::vector<double>& v, std::vector<double>& out) {
        filterWindow(v, out, mProduct);
        for (std::size_t i = 0; i < v.size(); ++i) out[i] += mNoise * v[i];
    }
    // out = the preconditioner's inverse applied to v.
    void precondition(const std::vector<double>& v, std::vector<double>& out) {
        filterWindow(v, out, mInverse);
    }

  private:
    struct FftwFree {
        void operator()(fftw_complex* p) const { fftw_free(p); }
    };
    int wrap(int i) const { return i < 0 ? i + mN : i; }
    double* real() { return reinterpret_cast<double*>(mPlane.get()); }

    // out = the window of the circular convolution of v (zero outside the window) with the
    // kernel whose real transform, scaled, is `spectrum`.
    void filterWindow(const std::vector<double>& v, std::vector<double>& out,
                      const std::vector<double>& spectrum) {
        const int gn = 2 * mRg + 1;
        double* p = real();
        std::fill_n(p, std::size_t(mN) * mStride, 0.0);
        for (int i = -mRg; i <= mRg; ++i)
            for (int j = -mRg; j <= mRg; ++j)
                p[std::size_t(wrap(i)) * mStride + wrap(j)] =
                    v[std::size_t(i + mRg) * gn + (j + mRg)];
        fftw_execute_dft_r2c(mPlans.forward, p, mPlane.get());
        fftw_complex* c = mPlane.get();
        for (std::size_t k = 0; k < spectrum.size(); ++k) {
            c[k][0] *= spectrum[k];
            c[k][1] *= spectrum[k];
        }
        fftw_execute_dft_c2r(mPlans.inverse, mPlane.get(), p);
        out.resize(v.size());
        for (int i = -mRg; i <= mRg; ++i)
            for (int j = -mRg; j <= mRg; ++j)
                out[std::size_t(i + mRg) * gn + (j + mRg)] =
                    p[std::size_t(wrap(i)) * mStride + wrap(j)];
    }

    int mRg, mN, mHalf, mStride;
    double mNoise;
    FftPlansD mPlans;
    std::unique_ptr<fftw_complex[], FftwFree> mPlane;  // in place: real rows padded to mStride
    std::vector<double> mProduct, mInverse;            // scaled real spectra
};

double Dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// Preconditioned conjugate gradients for S g = rhs from g = 0, stopped when the residual's norm
// falls under `tolerance` times the right-hand side's; each restart recomputes the residual from
// g, so rounding in the recurrence cannot fake convergence. False when it did not get there.
bool SolveToeplitz(ToeplitzSystem& S, const std::vector<double>& rhs, std::vector<double>& g,
                   double tolerance) {
    constexpr int kRestarts = 4;
    const std::size_t m = rhs.size();
    const double target = tolerance * std::sqrt(Dot(rhs, rhs));
    g.assign(m, 0.0);
    std::vector<double> r = rhs, z, p, q;
    const int maxIterations = int(std::min<std::size_t>(m, 500));
    for (int restart = 0; restart < kRestarts; ++restart) {
        if (restart > 0) {
            S.multiply(g, q);
            for (std::size_t i = 0; i < m; ++i) r[i] = rhs[i] - q[i];
        }
        if (std::sqrt(Dot(r, r)) <= target)
            return true;
        S.precondition(r, z);
        p = z;
        double rz = Dot(r, z);
        for (int it = 0; it < maxIterations && std::sqrt(Dot(r, r)) > target; ++it) {
            S.multiply(p, q);
            const double alpha = rz / Dot(p, q);
            if (!std::isfinite(alpha))
                return false;
            for (std::size_t i = 0; i < m; ++i) {
                g[i] += alpha * p[i];
                r[i] -= alpha * q[i];
            }
            S.precondition(r, z);
            const double next = Dot(r, z);
            const double beta = next / rz;
            rz = next;
            for (std::size_t i = 0; i < m; ++i) p[i] = z[i] + beta * p[i];
        }
    }
    S.multiply(g, q);
    for (std::size_t i = 0; i < m; ++i) r[i] = rhs[i] - q[i];
    return std::sqrt(Dot(r, r)) <= target;
}

// The same design for a kernel h of any shape: every tap of g is an unknown of its own. With the
// estimate f̂(x) = Σ g(e) · y(x + e) of the sharp f from y = h ⋆ f + noise, the normal equations
// read Σ_e' S(e − e') g(e') = A(e) with A = h(−·) ∗ r and S = h ∗ A + noise · δ, r the image
// model's correlation; for a kernel symmetric under a half turn A and S are those of compute_g.
int compute_g_general(Matrix& g, const Matrix& h, int Rg, double gamma, double noise) {
    Matrix ruv(8 * Rg + 1, 8 * Rg + 1);
    imageCorrelation(ruv, Rg, gamma);
    const int hn = h.rows();
    Matrix mirrored(hn, hn);
    std::reverse_copy(h.roData(), h.roData() + std::size_t(hn) * hn, mirrored.rwData());
    Matrix A(6 * Rg + 1, 6 * Rg + 1);
    convolve_mat(A, mirrored, ruv);
    Matrix B(4 * Rg + 1, 4 * Rg + 1);
    convolve_mat(B, h, A);

    const int gn = 2 * Rg + 1;
    VK_CHECK(g.rows() == gn && g.columns() == gn);
    std::vector<double> rhs(std::size_t(gn) * gn), solution;
    const int An = A.rows();
    for (int i = -Rg; i <= Rg; ++i)
        for (int j = -Rg; j <= Rg; ++j)
            rhs[std::size_t(i + Rg) * gn + (j + Rg)] =
                A.roData()[std::size_t(i + 3 * Rg) * An + (j + 3 * Rg)];
    // Far below what the filter's 8-bit output can show; the rounding of the transforms allows
    // about 1e-15.
    constexpr double kTolerance = 1e-13;
    ToeplitzSystem system(B, Rg, noise);
    if (!SolveToeplitz(system, rhs, solution, kTolerance))
        return solveDenseGeneral(g, A, B, Rg, noise);
    std::copy(solution.begin(), solution.end(), g.rwData());
    return 0;
}

// Size of the filter: 2 · matRadius + 1, or the kernel's size when that is larger.
int filterSize(double radius, int matRadius, const BlurKernel& blur) {
    const int k = SizeForFilter(radius, blur);
    const int n = 2 * std::max(matRadius, 0) + 1;
    return k > n ? k : n;
}

// The applied filters of the last few designs: the three channels of a cell ask for the same one
// at once, and the first to ask designs it while the others wait for it.
struct AppliedFilter {
    std::vector<float> taps;
    int size = 0;
};
using DesignKey = std::tuple<double, int, double, double, int, bool, std::uint64_t>;

std::shared_ptr<const AppliedFilter> SharedFilter(double radius, int matRadius, double gamma,
                                                  double noise, const BlurKernel& blur) {
    constexpr std::size_t kKept = 8;
    static std::mutex mutex;
    static std::deque<
        std::pair<DesignKey, std::shared_future<std::shared_ptr<const AppliedFilter>>>>
        designs;
    const DesignKey key{
        radius, matRadius, gamma, noise, blur.angle, blur.isImage(), blur.imageFingerprint()};
    std::promise<std::shared_ptr<const AppliedFilter>> promise;
    std::shared_future<std::shared_ptr<const AppliedFilter>> made;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (const auto& [k, design] : designs)
            if (k == key)
                made = design;  // made, or being made by another channel
        if (!made.valid()) {
            designs.emplace_front(key, promise.get_future().share());
            if (designs.size() > kKept)
                designs.pop_back();
        }
    }
    if (made.valid())
        return made.get();
    auto filter = std::make_shared<AppliedFilter>();
    std::vector<double> g;
    wiener_fir_filter(g, filter->size, radius, matRadius, gamma, noise, blur, true);
    filter->taps.assign(g.begin(), g.end());
    promise.set_value(filter);
    return filter;
}

}  // namespace

void wiener_fir_filter(std::vector<double>& g, int& size, double radius, int matRadius,
                       double gamma, double noise, const BlurKernel& blur, bool normalise) {
    const int n = filterSize(radius, matRadius, blur);
    const int Rg = (n - 1) / 2;
    Matrix hm(n, n);
    GenerateFilter(hm, radius, blur);
    Matrix gm(n, n);
    const int info = blur.isImage() ? compute_g_general(gm, hm, Rg, gamma, noise)
                                    : compute_g(gm, hm, Rg, gamma, noise, false);
    if (normalise) {
        const double sum = MatrixSum(gm);
        if (info != 0 || !std::isfinite(sum) || sum == 0) {
            // A singular design has no meaningful solution: pass the region through unchanged
            // rather than apply whatever the failed solve left behind.
            gm.loadZeros();
            gm.rwData()[std::size_t(Rg) * n + Rg] = 1.0;
        } else {
            MatrixScalarMulAdd(gm, gm, 1.0 / sum, 0.0);
        }
    }
    g.assign(gm.roData(), gm.roData() + std::size_t(n) * n);
    size = n;
}

void deconvolve_wiener_fir(const CImage& in, CImage& o, int channel, double radius, int matRadius,
                           double gamma, double noise, const BlurKernel& blur, int x, int y, int w,
                           int h) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    Timer timer;
    timer.start();
    const auto filter = SharedFilter(radius, matRadius, gamma, noise, blur);
    FloatBuffer result;
    ConvolveRegion(result, nullptr, in, channel, filter->taps, filter->size, Region{x, y, w, h});
    WriteChannelRegion(o, channel, result.get(), w, h);
    LogInfo("deconvolve_wiener_fir_float took %.2f seconds\n", timer.elapsed());
}

std::int64_t deconvolve_wiener_fir_mem_usage(const CImage& in, CImage& o, int, double radius,
                                             int matRadius, double, double, const BlurKernel& blur,
                                             int, int, int w, int h) {
    const std::int64_t n = 2 * std::int64_t(matRadius) + 1;
    const long long err = (long long)convolvePlanarFScratchSize();
    VK_CHECK(err >= 0);
    // A kernel image's design solves for every tap: at worst (the dense solve kept for a system
    // the iteration does not settle) a system of (size²)² doubles.
    const std::int64_t taps = blur.isImage() ? std::int64_t(filterSize(radius, matRadius, blur)) *
                                                   filterSize(radius, matRadius, blur)
                                             : 0;
    return err + 4 * (std::int64_t(w) * h + std::int64_t(in.width()) * in.height() + n * n) +
           4 * std::int64_t(o.width()) * o.height() + 8 * taps * (taps + 2);
}

}  // namespace velkaro
