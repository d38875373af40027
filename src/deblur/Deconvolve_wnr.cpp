#include "Deconvolve_wnr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Check.h"
#include "Dispatch.h"
#include "Filter.h"
#include "Log.h"
#include "MatrixImage.h"
#include "MatrixOps.h"
#include "fftw_process.h"

namespace velkaro {

namespace {

// Storage for n complex values, all 0 (a whole photograph's spectrum is offered huge pages).
std::complex<double>* AllocateComplex(std::size_t n) {
    auto* values = static_cast<std::complex<double>*>(
        AllocateLarge(std::max<std::size_t>(n, 1) * sizeof(std::complex<double>)));
    if (values)
        std::uninitialized_fill_n(values, n, std::complex<double>());
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

namespace {

int HalfColumns(int columns) {
    return columns / 2 + 1;
}

// body(first, end) over consecutive blocks of rows, on the worker pool: the element-wise passes
// over a whole photograph's spectra are as long as its transforms on one core.
void ForRowBlocks(int rows, const std::function<void(int, int)>& body) {
    constexpr int kRowsPerTask = 64;
    const int tasks = (rows + kRowsPerTask - 1) / kRowsPerTask;
    if (tasks <= 1) {
        body(0, rows);
        return;
    }
    dispatchApply(std::size_t(tasks), [&](std::size_t t) {
        const int first = int(t) * kRowsPerTask;
        body(first, std::min(rows, first + kRowsPerTask));
    });
}

// c = a .* b over the rows of the shapes (all equal).
void MultiplySpectra(ComplexMatrix& c, const ComplexMatrix& a, const ComplexMatrix& b) {
    VK_CHECK(b.rows() == a.rows() && b.columns() == a.columns());
    VK_CHECK(c.rows() == a.rows() && c.columns() == a.columns());
    const std::size_t columns = std::size_t(a.columns());
    ForRowBlocks(a.rows(), [&](int first, int end) {
        const std::complex<double>* pa = a.data();
        const std::complex<double>* pb = b.data();
        std::complex<double>* pc = c.data();
        for (std::size_t k = std::size_t(first) * columns, n = std::size_t(end) * columns; k < n;
             ++k) {
            const double ar = pa[k].real(), ai = pa[k].imag();
            const double br = pb[k].real(), bi = pb[k].imag();
            pc[k] = {ar * br - ai * bi, ar * bi + ai * br};
        }
    });
}

}  // namespace

FftStatus fftn(ComplexMatrix& c, const Matrix& m, const std::atomic<bool>* cancel) {
    VK_CHECK(c.rows() == m.rows());
    VK_CHECK(c.columns() == HalfColumns(m.columns()));
    return fft_real_forward(m.roData(), c.data(), m.rows(), m.columns(), cancel);
}

FftStatus ifftn(Matrix& m, const ComplexMatrix& c, const std::atomic<bool>* cancel) {
    VK_CHECK(m.rows() == c.rows());
    VK_CHECK(HalfColumns(m.columns()) == c.columns());
    const FftStatus status = fft_real_backward(c.data(), m.rwData(), m.rows(), m.columns(), cancel);
    if (status != FftStatus::Done)
        return status;
    const double count = double(m.rows()) * double(m.columns());
    const std::size_t columns = std::size_t(m.columns());
    ForRowBlocks(m.rows(), [&](int first, int end) {
        double* pm = m.rwData();
        for (std::size_t k = std::size_t(first) * columns, n = std::size_t(end) * columns; k < n;
             ++k)
            pm[k] /= count;
    });
    return status;
}

// The check texts below are written as the kernel's conditions are stated elsewhere; `&` binds
// looser than `!=`, which gives the intended test of the lowest bit.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wparentheses"
namespace {

// psf2otf with the rows × columns real array it needs (`padded`) supplied by the caller.
FftStatus PsfToOtf(ComplexMatrix& otf, const Matrix& PSF, Matrix& padded,
                   const std::atomic<bool>* cancel) {
    const int rows = padded.rows(), columns = padded.columns();
    VK_CHECK(PSF.rows() % 2 == 1);
    VK_CHECK(PSF.columns() % 2 == 1);
    VK_CHECK(otf.rows() == rows);
    VK_CHECK(otf.columns() == HalfColumns(columns));
    double* p = padded.rwData();
    std::fill(p, p + padded.count(), 0.0);
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
    return fftn(otf, padded, cancel);
}

}  // namespace

FftStatus psf2otf(ComplexMatrix& otf, const Matrix& PSF, int rows, int columns,
                  const std::atomic<bool>* cancel) {
    Matrix padded(rows, columns);
    return PsfToOtf(otf, PSF, padded, cancel);
}
#pragma GCC diagnostic pop

namespace {

// Weights of one direction of the taper, from the kernel's projection on it (`sums`): with z the
// circular autocorrelation of the projection zero-padded to n = beta.count() − 1 values,
// beta[k] = 1 − z[k] / max(z), and the first value repeated at the end.
FftStatus TaperWeights(Matrix& beta, const std::vector<double>& sums,
                       const std::atomic<bool>* cancel) {
    const int n = beta.count() - 1;
    Matrix projection(n, 1);
    std::fill(projection.rwData(), projection.rwData() + n, 0.0);
    std::copy(sums.begin(), sums.end(), projection.rwData());
    ComplexMatrix p(n, 1);
    FftStatus status = fftn(p, projection, cancel);
    if (status != FftStatus::Done)
        return status;
    ComplexMatrixAbsolute(p, p);
    ComplexMatrixComponentMultiply(p, p, p);
    Matrix z(n, 1);
    status = ifftn(z, p, cancel);
    if (status != FftStatus::Done)
        return status;
    const double peak = MatrixMaximum(z);
    const double* pz = z.roData();
    double* b = beta.rwData();
    for (int k = 0; k < n; ++k) b[k] = 1 - pz[k] / peak;
    b[n] = 1 - pz[0] / peak;
    return status;
}

// edgetaper with the transfer function given and its work arrays supplied by the caller:
// `spectrum` of I's half-spectrum shape, `blurred` of I's shape (neither may be J or I).
FftStatus Taper(Matrix& J, const Matrix& I, const Matrix& PSF, const ComplexMatrix& otf,
                ComplexMatrix& spectrum, Matrix& blurred, const std::atomic<bool>* cancel) {
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
    FftStatus status = TaperWeights(beta1, rowSums, cancel);
    if (status == FftStatus::Done)
        status = TaperWeights(beta2, columnSums, cancel);
    if (status != FftStatus::Done)
        return status;

    // I blurred circularly by the kernel.
    status = fftn(spectrum, I, cancel);
    if (status != FftStatus::Done)
        return status;
    MultiplySpectra(spectrum, spectrum, otf);
    status = ifftn(blurred, spectrum, cancel);
    if (status != FftStatus::Done)
        return status;

    // Blend weight alpha = beta1 × beta2 (the outer product), element by element.
    const double lo = MatrixMinimum(I);
    const double hi = MatrixMaximum(I);
    const double* b1 = beta1.roData();
    const double* b2 = beta2.roData();
    const double* b = blurred.roData();
    const double* in = I.roData();
    double* out = J.rwData();
    ForRowBlocks(R, [&](int first, int end) {
        for (int r = first; r < end; ++r) {
            const std::size_t row = std::size_t(r) * std::size_t(C);
            for (int c = 0; c < C; ++c) {
                const std::size_t k = row + std::size_t(c);
                const double a = b1[r] * b2[c];
                const double v = a * in[k] + (1 - a) * b[k];
                out[k] = v < lo ? lo : std::min(v, hi);
            }
        }
    });
    return status;
}

// deconvwnr with the transfer function given and the half-spectrum array supplied by the caller.
FftStatus Wiener(Matrix& J, const Matrix& I, const ComplexMatrix& otf, double nsr,
                 ComplexMatrix& spectrum, const std::atomic<bool>* cancel) {
    VK_CHECK(J.rows() == I.rows());
    VK_CHECK(J.columns() == I.columns());
    FftStatus status = fftn(spectrum, I, cancel);
    if (status != FftStatus::Done)
        return status;

    // spectrum ×= G, G = conj(H) / max(|H|² + nsr, 2^-26), each value of G formed as it is used.
    const std::size_t columns = std::size_t(spectrum.columns());
    ForRowBlocks(spectrum.rows(), [&](int first, int end) {
        const std::complex<double>* H = otf.data();
        std::complex<double>* S = spectrum.data();
        for (std::size_t k = std::size_t(first) * columns, n = std::size_t(end) * columns; k < n;
             ++k) {
            const double hr = H[k].real(), hi = H[k].imag();
            const double d = std::max(nsr + (hr * hr + hi * hi), 1.4901161193847656e-8);
            const double gr = hr / d, gi = -hi / d;
            const double sr = S[k].real(), si = S[k].imag();
            S[k] = {gr * sr - gi * si, gr * si + gi * sr};
        }
    });
    return ifftn(J, spectrum, cancel);
}

}  // namespace

FftStatus edgetaper(Matrix& J, const Matrix& I, const Matrix& PSF, const ComplexMatrix* otf,
                    const std::atomic<bool>* cancel) {
    VK_CHECK(J.rows() == I.rows());
    VK_CHECK(J.columns() == I.columns());
    VK_CHECK(PSF.rows() < J.rows());
    VK_CHECK(PSF.columns() < J.columns());
    Matrix blurred(I.rows(), I.columns());
    ComplexMatrix spectrum(I.rows(), HalfColumns(I.columns()));
    std::unique_ptr<ComplexMatrix> own;
    if (!otf) {
        own = std::make_unique<ComplexMatrix>(I.rows(), HalfColumns(I.columns()));
        const FftStatus status = PsfToOtf(*own, PSF, blurred, cancel);
        if (status != FftStatus::Done)
            return status;
        otf = own.get();
    }
    return Taper(J, I, PSF, *otf, spectrum, blurred, cancel);
}

void TapeEdge(Matrix& m, const Matrix& psf) {
    edgetaper(m, m, psf);
}

FftStatus deconvwnr(Matrix& J, const Matrix& I, const Matrix& PSF, double nsr,
                    const ComplexMatrix* otf, const std::atomic<bool>* cancel) {
    VK_CHECK(J.rows() == I.rows());
    VK_CHECK(J.columns() == I.columns());
    ComplexMatrix spectrum(I.rows(), HalfColumns(I.columns()));
    std::unique_ptr<ComplexMatrix> own;
    if (!otf) {
        own = std::make_unique<ComplexMatrix>(I.rows(), HalfColumns(I.columns()));
        Matrix padded(I.rows(), I.columns());
        const FftStatus status = PsfToOtf(*own, PSF, padded, cancel);
        if (status != FftStatus::Done)
            return status;
        otf = own.get();
    }
    return Wiener(J, I, *otf, nsr, spectrum, cancel);
}

namespace {

// What one channel leaves for the next channel of the same region: the kernel's transfer function
// and the work arrays, whose pages the next channel then finds in place. A full deblur runs the
// channels 1, 2, 3 one after another; the third releases everything, together with the helper's
// buffers and the shared region (fft_cleanup), and so does a channel that fails or is cancelled.
// Channels running at the same time each take the kept state or make their own.
struct ChannelState {
    int rows = 0, columns = 0, angle = 0;
    std::uint64_t kernelImage = 0;  // the kernel image's fingerprint, 0 for the disc and the line
    double radius = 0;
    std::unique_ptr<ComplexMatrix> otf, spectrum;
    std::unique_ptr<Matrix> work;
};

std::mutex gKeptMutex;
ChannelState gKept;

ChannelState TakeKeptState(int rows, int columns, double radius, const BlurKernel& blur) {
    ChannelState kept;
    {
        std::lock_guard<std::mutex> guard(gKeptMutex);
        std::swap(kept, gKept);
    }
    if (kept.rows == rows && kept.columns == columns && kept.radius == radius &&
        kept.angle == blur.angle && kept.kernelImage == blur.imageFingerprint())
        return kept;
    return {};  // another region's arrays are freed here
}

void KeepState(ChannelState state) {
    std::lock_guard<std::mutex> guard(gKeptMutex);
    gKept = std::move(state);
}

}  // namespace

FftStatus deconvolve_wnr_iir(const CImage& i, CImage& o, int channel, double radius, double noise,
                             const BlurKernel& blur, int x, int y, int w, int h,
                             const std::atomic<bool>* cancel, const MethodProgress* progress) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    VK_CHECK(i.width() - x >= w);
    VK_CHECK(i.height() - y >= h);
    if (w <= 0 || h <= 0)
        return FftStatus::Done;

    const int n = SizeForFilter(radius, blur);
    Matrix kernel(n, n);
    GenerateFilter(kernel, radius, blur);

    Matrix M(h, w);
    ImageToMatrix(M, i, channel, x, y, w, h);
    if (n >= w || n >= h) {
        // The taper needs the region to exceed the kernel in both directions.
        LogInfo(
            "deconvolve_wnr_iir: region %d x %d is not larger than the kernel %d x %d, "
            "channel %d left as read\n",
            w, h, n, n, channel);
        MatrixToImage(o, channel, M);
        return FftStatus::Done;
    }
    // The kernel's transfer function serves the taper and the deconvolution (and the next
    // channels); one real and one half-spectrum array serve all their steps.
    ChannelState state = TakeKeptState(h, w, radius, blur);
    FftStatus status = FftStatus::Done;
    if (!state.otf) {
        state.rows = h, state.columns = w, state.radius = radius, state.angle = blur.angle;
        state.kernelImage = blur.imageFingerprint();
        state.otf = std::make_unique<ComplexMatrix>(h, HalfColumns(w));
        state.spectrum = std::make_unique<ComplexMatrix>(h, HalfColumns(w));
        state.work = std::make_unique<Matrix>(h, w);
        status = PsfToOtf(*state.otf, kernel, *state.work, cancel);
    }
    // The taper takes about three transforms, the deconvolution two.
    ReportProgress(progress, 0.2);
    if (status == FftStatus::Done)
        status = Taper(M, M, kernel, *state.otf, *state.spectrum, *state.work, cancel);
    ReportProgress(progress, 0.6);
    if (status == FftStatus::Done)
        status = Wiener(M, M, *state.otf, noise, *state.spectrum, cancel);
    if (status == FftStatus::Done) {
        MatrixToImage(o, channel, M);
        ReportProgress(progress, 1.0);
    }
    if (status == FftStatus::Done && channel < 3) {
        KeepState(std::move(state));
    } else {
        state = ChannelState();
        fft_cleanup();
    }
    return status;
}

std::int64_t deconvolve_wnr_iir_mem_usage(const CImage& i, CImage& o, int, double, double,
                                          const BlurKernel&, int, int, int w, int h) {
    // The peak is the taper: the region, its weights and its circular blur (8 bytes a value
    // each), the half spectra of the region and of the kernel (8 each), the region shared with the
    // helper and the helper's own work buffer (16 each, generously). The images count 4 a pixel.
    const std::int64_t region = std::int64_t(w) * h;
    return 72 * region +
           4 * (std::int64_t(i.width()) * i.height() + std::int64_t(o.width()) * o.height());
}

}  // namespace velkaro
