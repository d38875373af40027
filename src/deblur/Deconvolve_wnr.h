#pragma once

#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Filter.h"
#include "Image.h"
#include "LargeAllocation.h"
#include "Matrix.h"
#include "MethodProgress.h"
#include "fftw_process.h"

namespace velkaro {

// Wiener deconvolution in the frequency domain. The region is taken to linear doubles, its edges
// are tapered so that the periodic extension implied by the discrete Fourier transform does not
// ring, and it is divided frequency by frequency by the kernel's transfer function with a
// noise-to-signal regularisation. The transforms are computed by the fftw_helper program
// (fftw_process.h), as transforms of real data: spectra are held as their halves, rows ×
// (columns / 2 + 1) values. The kernel's transfer function is computed once for the three
// channels of a region, which are expected in the order 1, 2, 3.

// rows × columns complex values, row after row, each two doubles (real, imaginary): the layout
// of the helper's transform buffer and the element order of a Matrix of the same shape.
// Created with all values 0. Not copyable, like Matrix.
class ComplexMatrix {
  public:
    ComplexMatrix(int rows, int columns);
    ComplexMatrix(const ComplexMatrix&) = delete;
    ComplexMatrix& operator=(const ComplexMatrix&) = delete;

    int rows() const { return mRows; }
    int columns() const { return mColumns; }
    std::size_t count() const { return std::size_t(mRows) * std::size_t(mColumns); }
    std::complex<double>* data() { return mData.get(); }
    const std::complex<double>* data() const { return mData.get(); }

    void loadFrom(const Matrix& m);  // value i = (m[i], 0)
    void saveTo(Matrix& m) const;    // m[i] = real part of value i

  private:
    int mRows;
    int mColumns;
    LargeArray<std::complex<double>> mData;
};

// c = a .* b; c may be a or b.
void ComplexMatrixComponentMultiply(ComplexMatrix& c, const ComplexMatrix& a,
                                    const ComplexMatrix& b);
// b = conjugate of a.
void ComplexMatrixConjugate(ComplexMatrix& b, const ComplexMatrix& a);
// b = (|a|, 0).
void ComplexMatrixAbsolute(ComplexMatrix& b, const ComplexMatrix& a);
// b = |a|.
void ComplexMatrixAbsolute(Matrix& b, const ComplexMatrix& a);
// c = a ./ b with a real divisor.
void ComplexMatrixComponentDivide(ComplexMatrix& c, const ComplexMatrix& a, const Matrix& b);

// The method (calling convention of the deblurring methods): channel `channel` of the region
// x, y, w, h of i, deconvolved with the kernel of `radius` and `angle` (negative: disc) and the
// noise-to-signal ratio `noise`, written into the same channel of o (w × h). A region that is not
// larger than the kernel in both directions cannot be tapered: its channel is written back as
// read. Returns Done when the channel was written; Cancelled when `cancel` was set during a
// transform, and Failed when the helper failed (a message says so): o is then left as it was.
// The end of each stage (the kernel's transfer function, the taper, the deconvolution) is
// reported to `progress`.
FftStatus deconvolve_wnr_iir(const CImage& i, CImage& o, int channel, double radius, double noise,
                             const BlurKernel& blur, int x, int y, int w, int h,
                             const std::atomic<bool>* cancel = nullptr,
                             const MethodProgress* progress = nullptr);
// Bytes the method holds at its peak for one channel, the helper's transform buffer included.
std::int64_t deconvolve_wnr_iir_mem_usage(const CImage& i, CImage& o, int channel, double radius,
                                          double noise, const BlurKernel& blur, int x, int y, int w,
                                          int h);

// The in-place edge taper, for other methods: edgetaper(m, m, psf).
void TapeEdge(Matrix& m, const Matrix& psf);

// Building blocks of the method, declared for its tests. Each returns the status of its
// transforms; after anything but Done its outputs are unspecified.

// Half spectrum: c (rows × (columns / 2 + 1)) = forward transform of m.
FftStatus fftn(ComplexMatrix& c, const Matrix& m, const std::atomic<bool>* cancel = nullptr);
// Backward transform of the half spectrum c, then m[i] = real result / (number of elements of m).
FftStatus ifftn(Matrix& m, const ComplexMatrix& c, const std::atomic<bool>* cancel = nullptr);
// otf (rows × (columns / 2 + 1)) = half of the forward transform of the odd-sized PSF zero-padded
// to rows × columns and shifted circularly so that its centre lands on (0, 0).
FftStatus psf2otf(ComplexMatrix& otf, const Matrix& PSF, int rows, int columns,
                  const std::atomic<bool>* cancel = nullptr);
// J = I blended towards its circular blur by the PSF near the borders, within [min I, max I];
// J may be I. The PSF must be smaller than I in both directions. `otf`, when given, is
// psf2otf(PSF, rows, columns of I).
FftStatus edgetaper(Matrix& J, const Matrix& I, const Matrix& PSF,
                    const ComplexMatrix* otf = nullptr, const std::atomic<bool>* cancel = nullptr);
// J = Wiener deconvolution of I by the PSF with the noise-to-signal ratio nsr; J may be I.
FftStatus deconvwnr(Matrix& J, const Matrix& I, const Matrix& PSF, double nsr,
                    const ComplexMatrix* otf = nullptr, const std::atomic<bool>* cancel = nullptr);

}  // namespace velkaro
