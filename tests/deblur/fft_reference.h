#pragma once

// The 2-D discrete Fourier transform evaluated term by term, the reference the FFT tests compare
// against.

#include <cmath>
#include <complex>
#include <vector>

// x holds R × C values row after row; sign −1 gives the forward transform, +1 the unscaled
// backward one.
inline std::vector<std::complex<double>> NaiveDft(const std::vector<std::complex<double>>& x, int R,
                                                  int C, int sign) {
    std::vector<std::complex<double>> out(x.size());
    for (int k = 0; k < R; ++k)
        for (int l = 0; l < C; ++l) {
            std::complex<double> sum = 0;
            for (int m = 0; m < R; ++m)
                for (int n = 0; n < C; ++n) {
                    const double phase = 2 * M_PI * (double(k) * m / R + double(l) * n / C);
                    sum += x[size_t(m) * C + n] * std::polar(1.0, sign * phase);
                }
            out[size_t(k) * C + l] = sum;
        }
    return out;
}
