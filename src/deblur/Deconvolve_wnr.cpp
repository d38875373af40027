#include "Deconvolve_wnr.h"

#include "Check.h"
#include "Filter.h"
#include "MatrixImage.h"
#include "MatrixMultiply.h"
#include "MatrixOps.h"
#include "fftw_process.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// Storage for n complex values, all 0 (a whole photograph's spectrum is offered huge pages).
std::complex<double>* AllocateComplex(std::size_t n) {
    auto* values = static_cast<std::complex<double>*>(
        AllocateLarge(std::max<std::size_t>(n, 1) * sizeof(std::complex<double>)));
    if (values) std::uninitialized_fill_n(values, n, std::complex<double>());
    return values;
}

}  // namespace

ComplexMatrix::ComplexMatrix(int rows, int columns)
    : mRows(rows),
      mColumns(columns),
      mData(AllocateComplex(std::size_t(rows) * std::size_t(columns))) {
    VK_CHECK(mData);
}

void ComplexMatrix::loadFrom(const Matrix& m) {
    VK_CHECK(m.rows() == mRows);
    VK_CHECK(m.columns() == mColumns);
    const double* src = m.roData();
    for (std::size_t k = 0, n = count(); k < n; ++k) mData[k] = {src[k], 0.0};
}

void ComplexMatrix::saveTo(Matrix& m) const {
    VK_CHECK(m.rows() == mRows);
    VK_CHECK(m.columns() == mColumns);
    double* dst = m.rwData();
    for (std::size_t k = 0, n = count(); k < n; ++k) dst[k] = mData[k].real();
}

void ComplexMatrixComponentMultiply(ComplexMatrix& c, const ComplexMatrix& a,
                                    const ComplexMatrix& b) {
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    VK_CHECK(c.rows() == a.rows());
    VK_CHECK(c.columns() == a.columns());
    const std::complex<double>* pa = a.data();
    const std::complex<double>* pb = b.data();
    std::complex<double>* pc = c.data();
    // The textbook product: the transforms hold finite values, so the infinity and NaN recovery
    // of the library's complex multiplication is not needed.
    for (std::size_t k = 0, n = a.count(); k < n; ++k) {
        const double ar = pa[k].real(), ai = pa[k].imag();
        const double br = pb[k].real(), bi = pb[k].imag();
        pc[k] = {ar * br - ai * bi, ar * bi + ai * br};
    }
}

void ComplexMatrixConjugate(ComplexMatrix& b, const ComplexMatrix& a) {
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    const std::complex<double>* pa = a.data();
    std::complex<double>* pb = b.data();
    for (std::size_t k = 0, n = a.count(); k < n; ++k) pb[k] = std::conj(pa[k]);
}

void ComplexMatrixAbsolute(ComplexMatrix& b, const ComplexMatrix& a) {
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    const std::complex<double>* pa = a.data();
    std::complex<double>* pb = b.data();
    for (std::size_t k = 0, n = a.count(); k < n; ++k) pb[k] = {std::abs(pa[k]), 0.0};
}

void ComplexMatrixAbsolute(Matrix& b, const ComplexMatrix& a) {
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    const std::complex<double>* pa = a.data();
    double* pb = b.rwData();
    for (std::size_t k = 0, n = a.count(); k < n; ++k) pb[k] = std::abs(pa[k]);
}

void ComplexMatrixComponentDivide(ComplexMatrix& c, const ComplexMatrix& a, const Matrix& b) {
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    VK_CHECK(c.rows() == a.rows());
    VK_CHECK(c.columns() == a.columns());
    const std::complex<double>* pa = a.data();
    const double* pb = b.roData();
    std::complex<double>* pc = c.data();
    for (std::size_t k = 0, n = a.count(); k < n; ++k) {
        pc[k] = {pa[k].real() / pb[k], pa[k].imag() / pb[k]};
    }
}

void ifftn(Matrix& m, ComplexMatrix& c) {
    VK_CHECK(m.rows() == c.rows());
    VK_CHECK(m.columns() == c.columns());
    fft_backward(c.data(), c.rows(), c.columns());
    const double count = double(c.count());
    const std::complex<double>* pc = c.data();
    double* pm = m.rwData();
    for (std::size_t k = 0, n = c.count(); k < n; ++k) pm[k] = pc[k].real() / count;
}

// The check texts below are written as the kernel's conditions are stated elsewhere; `&` binds
// looser than `!=`, which gives the intended test of the lowest bit.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wparentheses"
void psf2otf(ComplexMatrix& otf, const Matrix& PSF, int rows, int columns) {
    VK_CHECK(PSF.rows() & 1 != 0);
    VK_CHECK(PSF.columns() & 1 != 0);
    VK_CHECK(otf.rows() == rows);
    VK_CHECK(otf.columns() == columns);
    std::complex<double>* p = otf.data();
    std::fill(p, p + otf.count(), std::complex<double>());
    const double* psf = PSF.roData();
    const int cr = (PSF.rows() - 1) / 2;
    const int cc = (PSF.columns() - 1) / 2;
    for (int i = 0; i < PSF.rows(); ++i) {
        const int r = (((i - cr) % rows) + rows) % rows;
        for (int j = 0; j < PSF.columns(); ++j) {
            const int c = (((j - cc) % columns) + columns) % columns;
            p[std::size_t(r) * columns + c] += psf[std::size_t(i) * PSF.columns() + j];
        }
    }
    fft_forward(p, rows, columns);
}
#pragma GCC diagnostic pop

namespace {

// Weights of one direction of the taper, from the kernel's projection on it (`sums`): with z the
// circular autocorrelation of the projection zero-padded to n = beta.count() − 1 values,
// beta[k] = 1 − z[k] / max(z), and the first value repeated at the end.
void TaperWeights(Matrix& beta, const std::vector<double>& sums) {
    const int n = beta.count() - 1;
    ComplexMatrix p(n, 1);
    for (std::size_t k = 0; k < sums.size(); ++k) p.data()[k] = {sums[k], 0.0};
    fft_forward(p.data(), n, 1);
    ComplexMatrixAbsolute(p, p);
    ComplexMatrixComponentMultiply(p, p, p);
    Matrix z(n, 1);
    ifftn(z, p);
    const double peak = MatrixMaximum(z);
    const double* pz = z.roData();
    double* b = beta.rwData();
    for (int k = 0; k < n; ++k) b[k] = 1 - pz[k] / peak;
    b[n] = 1 - pz[0] / peak;
}

}  // namespace

void edgetaper(Matrix& J, const Matrix& I, const Matrix& PSF) {
    VK_CHECK(J.rows() == I.rows());
    VK_CHECK(J.columns() == I.columns());
    VK_CHECK(PSF.rows() < J.rows());
    VK_CHECK(PSF.columns() < J.columns());
    const int R = I.rows();
    const int C = I.columns();

    // Projections of the kernel on the vertical and the horizontal axis.
    const double* psf = PSF.roData();
    std::vector<double> rowSums(std::size_t(PSF.rows()), 0.0);
    std::vector<double> columnSums(std::size_t(PSF.columns()), 0.0);
    for (int i = 0; i < PSF.rows(); ++i)
        for (int j = 0; j < PSF.columns(); ++j) {
            const double v = psf[std::size_t(i) * PSF.columns() + j];
            rowSums[std::size_t(i)] += v;
            columnSums[std::size_t(j)] += v;
        }
    Matrix beta1(R, 1);
    Matrix beta2(1, C);
    TaperWeights(beta1, rowSums);
    TaperWeights(beta2, columnSums);
    Matrix alpha(R, C);
    MatrixMultiply(alpha, beta1, beta2);

    // I blurred circularly by the kernel.
    Matrix blurred(R, C);
    {
        ComplexMatrix spectrum(R, C);
        spectrum.loadFrom(I);
        fft_forward(spectrum.data(), R, C);
        ComplexMatrix otf(R, C);
        psf2otf(otf, PSF, R, C);
        ComplexMatrixComponentMultiply(spectrum, spectrum, otf);
        ifftn(blurred, spectrum);
    }

    const double lo = MatrixMinimum(I);
    const double hi = MatrixMaximum(I);
    const double* a = alpha.roData();
    const double* b = blurred.roData();
    const double* in = I.roData();
    double* out = J.rwData();
    for (std::size_t k = 0, n = std::size_t(R) * std::size_t(C); k < n; ++k) {
        const double v = a[k] * in[k] + (1 - a[k]) * b[k];
        out[k] = v < lo ? lo : std::min(v, hi);
    }
}

void TapeEdge(Matrix& m, const Matrix& psf) { edgetaper(m, m, psf); }

void deconvwnr(Matrix& J, const Matrix& I, const Matrix& PSF, double nsr) {
    VK_CHECK(J.rows() == I.rows());
    VK_CHECK(J.columns() == I.columns());
    const int R = I.rows();
    const int C = I.columns();

    // G = conj(H) / max(|H|² + nsr, 2^-26), computed in the storage of H.
    ComplexMatrix G(R, C);
    psf2otf(G, PSF, R, C);
    {
        Matrix D(R, C);
        ComplexMatrixAbsolute(D, G);
        MatrixComponentMultiply(D, D, D);
        double* d = D.rwData();
        for (std::size_t k = 0, n = G.count(); k < n; ++k) {
            d[k] = std::max(nsr + d[k], 1.4901161193847656e-8);
        }
        ComplexMatrixConjugate(G, G);
        ComplexMatrixComponentDivide(G, G, D);
    }

    ComplexMatrix spectrum(R, C);
    spectrum.loadFrom(I);
    fft_forward(spectrum.data(), R, C);
    ComplexMatrixComponentMultiply(spectrum, G, spectrum);
    ifftn(J, spectrum);
}

void deconvolve_wnr_iir(const CImage& i, CImage& o, int channel, double radius, double noise,
                        int angle, int x, int y, int w, int h) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    VK_CHECK(i.width() - x >= w);
    VK_CHECK(i.height() - y >= h);
    if (w <= 0 || h <= 0) return;

    const int n = SizeForFilter(radius, angle);
    Matrix kernel(n, n);
    GenerateFilter(kernel, radius, angle);

    Matrix M(h, w);
    ImageToMatrix(M, i, channel, x, y, w, h);
    if (n >= w || n >= h) {
        // The taper needs the region to exceed the kernel in both directions.
        std::printf("deconvolve_wnr_iir: region %d x %d is not larger than the kernel %d x %d, "
                    "channel %d left as read\n",
                    w, h, n, n, channel);
        MatrixToImage(o, channel, M);
        return;
    }
    edgetaper(M, M, kernel);
    deconvwnr(M, M, kernel, noise);
    MatrixToImage(o, channel, M);
    fft_cleanup();
}

std::int64_t deconvolve_wnr_iir_mem_usage(const CImage& i, CImage& o, int, double, double, int, int,
                                          int, int w, int h) {
    // The peak is the taper: the region, its weights and its circular blur (8 bytes a value
    // each), the spectrum and the kernel's transfer function (16 each), and the helper's copy of
    // the transform (16). The images around it count 4 bytes a pixel.
    const std::int64_t region = std::int64_t(w) * h;
    return 72 * region + 4 * (std::int64_t(i.width()) * i.height() + std::int64_t(o.width()) * o.height());
}
