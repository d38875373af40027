// The frequency-domain Wiener method against transforms evaluated term by term in the test (the
// kernel's transfer function included), and the closed forms the method must reproduce (uniform
// regions, the 1 × 1 kernel, the taper's range and its border and interior).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "ColorSpace.h"
#include "Deconvolve_wnr.h"
#include "Filter.h"
#include "Image.h"
#include "Matrix.h"
#include "MatrixOps.h"
#include "fftw_process.h"

using namespace velkaro;

namespace {

using Complex = std::complex<double>;

// The 2-D discrete Fourier transform evaluated term by term: x holds R × C values row after row;
// sign −1 gives the forward transform, +1 the unscaled backward one.
std::vector<Complex> NaiveDft(const std::vector<Complex>& x, int R, int C, int sign) {
    std::vector<Complex> out(x.size());
    for (int k = 0; k < R; ++k)
        for (int l = 0; l < C; ++l)
            for (int m = 0; m < R; ++m)
                for (int n = 0; n < C; ++n)
                    out[size_t(k) * C + l] +=
                        x[size_t(m) * C + n] *
                        std::polar(1.0, sign * 2 * M_PI * (double(k) * m / R + double(l) * n / C));
    return out;
}

void FillRandom(Matrix& m, unsigned seed, double lo = 0, double hi = 1) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> d(lo, hi);
    double* p = m.rwData();
    for (int k = 0; k < m.count(); ++k) p[k] = d(random);
}

double At(const Matrix& m, int r, int c) {
    return m.roData()[r * m.columns() + c];
}

// An asymmetric 3 × 3 kernel summing to 1: any mix-up of convolution and correlation, or of
// rows and columns, shows.
void AsymmetricKernel(Matrix& psf) {
    const double k[9] = {0.02, 0.10, 0.03, 0.05, 0.50, 0.15, 0.01, 0.04, 0.10};
    std::copy(k, k + 9, psf.rwData());
}

// Transfer function of the kernel on an R × C grid: the DFT of the kernel placed with its centre
// at (0, 0), element (c + dy, c + dx) at (dy, dx) modulo the grid.
std::vector<Complex> NaiveOtf(const Matrix& psf, int R, int C) {
    std::vector<Complex> placed(size_t(R) * C);
    const int c = (psf.rows() - 1) / 2;
    for (int i = 0; i < psf.rows(); ++i)
        for (int j = 0; j < psf.columns(); ++j)
            placed[size_t((i - c + R) % R) * C + (j - c + C) % C] += At(psf, i, j);
    return NaiveDft(placed, R, C, -1);
}

// I convolved circularly with the kernel: out(y, x) = Σ psf(c + dy, c + dx) I(y − dy, x − dx).
void CircularBlur(Matrix& out, const Matrix& I, const Matrix& psf) {
    const int R = I.rows(), C = I.columns(), c = (psf.rows() - 1) / 2;
    for (int y = 0; y < R; ++y)
        for (int x = 0; x < C; ++x) {
            double sum = 0;
            for (int dy = -c; dy <= c; ++dy)
                for (int dx = -c; dx <= c; ++dx)
                    sum += At(psf, c + dy, c + dx) *
                           At(I, ((y - dy) % R + R) % R, ((x - dx) % C + C) % C);
            out.rwData()[y * C + x] = sum;
        }
}

double MaxDifference(const Matrix& a, const Matrix& b) {
    double worst = 0;
    for (int k = 0; k < a.count(); ++k)
        worst = std::max(worst, std::abs(a.roData()[k] - b.roData()[k]));
    return worst;
}

TEST(Edgetaper, StaysInRangeBlursTheBorderAndKeepsTheInterior) {
    const int R = 24, C = 20;
    Matrix I(R, C);
    FillRandom(I, 7, 0.2, 0.9);
    Matrix psf(3, 3);
    AsymmetricKernel(psf);
    Matrix J(R, C), blurred(R, C);
    edgetaper(J, I, psf);
    CircularBlur(blurred, I, psf);

    for (int k = 0; k < J.count(); ++k) {
        EXPECT_GE(J.roData()[k], MatrixMinimum(I));
        EXPECT_LE(J.roData()[k], MatrixMaximum(I));
    }
    // Border rows and columns: the circular blur. Far from the border (at least the kernel's
    // size away): the input itself.
    for (int y = 0; y < R; ++y)
        for (int x = 0; x < C; ++x) {
            const bool border = y == 0 || y == R - 1 || x == 0 || x == C - 1;
            if (border || (y >= 3 && y <= R - 4 && x >= 3 && x <= C - 4)) {
                EXPECT_NEAR(At(J, y, x), At(border ? blurred : I, y, x), 1e-12) << y << ", " << x;
            }
        }

    Matrix inPlace(R, C);  // in place, as the Wiener method tapers its padded channel
    MatrixCopy(inPlace, I);
    TapeEdge(inPlace, psf);
    EXPECT_EQ(MaxDifference(inPlace, J), 0);
}

// The half spectrum against the DFT; then deconvwnr with an asymmetric kernel and the 1 × 1 kernel
// of radius 0.5 (which scales by the gain at zero), on even and odd sizes, a single column and a
// single row (the unit kernel only).
TEST(Deconvwnr, MatchesAReferenceComputedTermByTerm) {
    const double nsr = 0.01;
    Matrix unit(1, 1), asymmetric(3, 3);
    GenerateFilter(unit, 0.5, 45);
    AsymmetricKernel(asymmetric);
    for (auto [R, C] : {std::pair{12, 10}, std::pair{7, 5}, std::pair{9, 1}, std::pair{1, 6}}) {
        SCOPED_TRACE(testing::Message() << R << " x " << C);
        Matrix I(R, C), J(R, C);
        FillRandom(I, unsigned(R * C));
        const std::vector<Complex> F =
            NaiveDft(std::vector<Complex>(I.roData(), I.roData() + I.count()), R, C, -1);
        ComplexMatrix half(R, C / 2 + 1);
        ASSERT_EQ(fftn(half, I), FftStatus::Done);
        for (int r = 0; r < R; ++r)
            for (int k = 0; k <= C / 2; ++k)
                EXPECT_LT(std::abs(half.data()[r * (C / 2 + 1) + k] - F[r * C + k]), 1e-12);
        for (const Matrix* psf : {&asymmetric, &unit}) {
            if (psf->rows() > std::min(R, C))
                continue;
            std::vector<Complex> G = F;
            const std::vector<Complex> H = NaiveOtf(*psf, R, C);
            for (size_t k = 0; k < G.size(); ++k)
                G[k] *= std::conj(H[k]) / std::max(std::norm(H[k]) + nsr, std::ldexp(1.0, -26));
            const std::vector<Complex> reference = NaiveDft(G, R, C, +1);
            deconvwnr(J, I, *psf, nsr);
            for (size_t k = 0; k < reference.size(); ++k)
                EXPECT_NEAR(J.roData()[k], reference[k].real() / (R * C), 1e-12) << psf->rows();
        }
        if (R > 1 && C > 1) {  // the unit kernel blurs nothing: the border stays as it is
            edgetaper(J, I, unit);
            EXPECT_LT(MaxDifference(J, I), 1e-13);
        }
    }
    // With almost no regularisation it undoes a circular blur, also in place.
    Matrix I(12, 10), blurred(12, 10);
    FillRandom(I, 3);
    CircularBlur(blurred, I, asymmetric);
    deconvwnr(blurred, blurred, asymmetric, 1e-14);
    EXPECT_LT(MaxDifference(blurred, I), 1e-9);
}

// The level written for an 8-bit sRGB level read into linear light and multiplied by `gain`.
std::uint8_t Through(std::uint8_t level, double gain) {
    std::uint8_t px[4] = {255, level, level, level};
    double v;
    ReadChannelDouble(px, &v, 1, 1);
    v *= gain;
    WriteChannelDouble(&v, px, 1, 1);
    return px[1];
}

// A uniform region comes out scaled by the gain at zero frequency, the other channels untouched;
// a region not larger than the kernel is left as read.
TEST(DeconvolveWnrIir, UniformRegionAndRegionsNotLargerThanTheKernel) {
    CImage in(40, 30);
    for (int k = 0; k < 40 * 30; ++k) in.pixels()[4 * k + 2] = 150;
    CImage out(16, 12);
    const double noise = 0.0010000000474974513;
    deconvolve_wnr_iir(in, out, 2, 2.0, noise, -1, 10, 9, 16, 12);
    const std::uint8_t expected = Through(150, 1 / (1 + noise));
    for (int k = 0; k < 16 * 12; ++k) {
        ASSERT_TRUE(out.pixels()[4 * k + 2] == expected) << k;
        ASSERT_TRUE(out.pixels()[4 * k + 1] == 255) << k;
    }

    CImage tiny(9, 9);
    for (int k = 0; k < 81; ++k) tiny.pixels()[4 * k + 3] = std::uint8_t(k * 3);
    for (auto [w, h] : {std::pair{5, 9}, std::pair{9, 4}, std::pair{1, 1}}) {
        CImage small(w, h);
        testing::internal::CaptureStderr();
        deconvolve_wnr_iir(tiny, small, 3, 2.5, 0.01, 60, 9 - w, 0, w, h);  // 5 × 5 kernel
        testing::internal::GetCapturedStderr();
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                EXPECT_EQ(small.pixels()[4 * (r * w + c) + 3],
                          Through(tiny.pixels()[4 * (r * 9 + 9 - w + c) + 3], 1));
    }
}

}  // namespace
