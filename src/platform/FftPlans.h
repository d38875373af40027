#pragma once

#include <fftw3.h>

#include <cstddef>

namespace velkaro {

// The process's FFTW plans for real two-dimensional transforms (real to half-spectrum and back),
// one pair per size and precision, made once under the planner's lock and kept for the life of
// the process. Plans run concurrently on any arrays from fftw_malloc / fftwf_malloc through the
// new-array interface (fftw_execute_dft_r2c, fftw_execute_dft_c2r); the inverse is unscaled.
struct FftPlansF {
    fftwf_plan forward;
    fftwf_plan inverse;
};
struct FftPlansD {
    fftw_plan forward;
    fftw_plan inverse;
};
// Single precision: out of place; `parallel` plans of large planes split their loops over the
// worker pool (dispatchApply), for transforms on the critical path of a computation that has
// nothing else to run beside them. Double precision: in place, the real plane's rows padded to 2 ·
// (columns / 2 + 1) values (the half spectrum's storage); large double-precision plans run their
// loops on the pool.
FftPlansF realFftPlansF(int rows, int columns, bool parallel = false);
FftPlansD realFftPlansD(int rows, int columns);

// Smallest transform length ≥ n of the form m · 2^a with m one of 1, 3, 5, 9 (a ≥ 1): FFTW's
// estimated plans run those markedly faster per element than lengths with more odd factors.
int fftGoodSize(int n);

// x[i] *= k[i] over `count` half-spectrum entries: a convolution's product in the frequency
// domain (fftw_complex or fftwf_complex arrays).
template <typename T>
inline void MultiplySpectrum(T (*x)[2], const T (*k)[2], std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const T re = x[i][0] * k[i][0] - x[i][1] * k[i][1];
        const T im = x[i][0] * k[i][1] + x[i][1] * k[i][0];
        x[i][0] = re;
        x[i][1] = im;
    }
}

}  // namespace velkaro
