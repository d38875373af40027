#include "Wiener_FIR.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Check.h"
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
    VK_CHECK(g.rows() == gn && g.columns() == gn);
    std::copy_n(b.roData(), m, g.rwData());
    return info;
}

// Size of the filter: 2 · matRadius + 1, or the kernel's size when that is larger.
int filterSize(double radius, int matRadius, const BlurKernel& blur) {
    const int k = SizeForFilter(radius, blur);
    const int n = 2 * std::max(matRadius, 0) + 1;
    return k > n ? k : n;
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
    std::vector<double> g;
    int n = 0;
    wiener_fir_filter(g, n, radius, matRadius, gamma, noise, blur, true);
    const std::vector<float> filter(g.begin(), g.end());
    FloatBuffer result;
    ConvolveRegion(result, nullptr, in, channel, filter, n, Region{x, y, w, h});
    WriteChannelRegion(o, channel, result.get(), w, h);
    LogInfo("deconvolve_wiener_fir_float took %.2f seconds\n", timer.elapsed());
}

std::int64_t deconvolve_wiener_fir_mem_usage(const CImage& in, CImage& o, int, double radius,
                                             int matRadius, double, double, const BlurKernel& blur,
                                             int, int, int w, int h) {
    const std::int64_t n = 2 * std::int64_t(matRadius) + 1;
    const long long err = (long long)convolvePlanarFScratchSize();
    VK_CHECK(err >= 0);
    // A kernel image's design solves for every tap: a dense system of (size²)² doubles.
    const std::int64_t taps = blur.isImage() ? std::int64_t(filterSize(radius, matRadius, blur)) *
                                                   filterSize(radius, matRadius, blur)
                                             : 0;
    return err + 4 * (std::int64_t(w) * h + std::int64_t(in.width()) * in.height() + n * n) +
           4 * std::int64_t(o.width()) * o.height() + 8 * taps * (taps + 2);
}

}  // namespace velkaro
