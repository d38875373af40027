#pragma once

#include <memory>
#include <vector>

#include "Planar.h"

namespace velkaro {

// FFT engine for the planar convolution: the same result as the spatial engine (edge-extended
// source, kernel-weighted sums), computed by single-precision FFTs in overlapping tiles. The
// kernel's spectrum is computed once per object; one object can convolve any number of planes
// whose destination has the size it was made for. An object is used by one thread at a time.
class PlanarFftConvolution {
  public:
    PlanarFftConvolution(const float* kernel, int kernelHeight, int kernelWidth, int destWidth,
                         int destHeight);
    ~PlanarFftConvolution();
    PlanarFftConvolution(const PlanarFftConvolution&) = delete;
    PlanarFftConvolution& operator=(const PlanarFftConvolution&) = delete;

    // As convolvePlanarF: dest(x, y) = Σ kernel(i, j) · src(x + offsetX + j − kw/2,
    // y + offsetY + i − kh/2), source coordinates clamped into src. dest must have the size
    // given at construction.
    void apply(const PlanarF& src, const PlanarF& dest, int offsetX, int offsetY);

  private:
    struct Engine;
    std::unique_ptr<Engine> mEngine;
};

// Whether the FFT engine is expected to beat the spatial one for this destination and kernel.
bool planarFftPays(int destWidth, int destHeight, int kernelHeight, int kernelWidth);

// Power spectrum of a plane averaged over block × block tiles (Welch's method: Welch 1967, "The
// use of fast Fourier transform for the estimation of power spectra"). Tiles overlap by about half,
// spread evenly over the plane; each loses its mean and is weighted by a Hann window before its
// transform. `out` receives block rows × (block / 2 + 1) values: row ky, column kx hold the power
// at frequency (kx, ky) / block cycles per pixel (rows above block / 2 are negative ky). Returns
// the number of tiles, 0 (and `out` empty) when the plane is smaller than one tile.
int planarPowerSpectrum(const PlanarF& src, int block, std::vector<float>& out);

}  // namespace velkaro
