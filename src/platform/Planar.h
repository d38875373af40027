#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace velkaro {

// Planar image services: single-precision convolution and Richardson–Lucy on one channel, and
// high-quality resampling of four-byte pixels. Strides are in bytes.

// A single-precision plane: `height` rows of `width` floats, `rowBytes` apart.
struct PlanarF {
    float* data;
    int width;
    int height;
    std::size_t rowBytes;
};

// Destination pixel (x, y) becomes the kernel-weighted sum (a correlation: kernels here are
// point-symmetric) of the source pixels centred on (x + offsetX, y + offsetY). Source pixels
// outside `src` take the value of the nearest edge pixel of `src`; pixels of `src` outside the
// destination's window are read as they are. `kernel` is kernelHeight × kernelWidth, both odd.
void convolvePlanarF(const PlanarF& src, const PlanarF& dest, int offsetX, int offsetY,
                     const float* kernel, int kernelHeight, int kernelWidth);

// Richardson–Lucy estimate of the destination-sized window of `src` at (offsetX, offsetY) after
// `iterations` multiplicative iterations with the given kernel (Richardson 1972, Lucy 1974). The
// estimate starts from the observed values and is carried over the window widened by two kernel
// sizes (2 × max(kernelHeight, kernelWidth) pixels) on every side, clipped to `src`: real
// neighbours shape the result near the window's edges, the true edge of `src` is extended, and
// pixels of `src` further away are never read. The blurred estimate is taken as at least 1e-12
// so that black areas never divide by zero, and the estimate at most kRichardsonLucyCeiling
// times the largest observed value. iterations <= 0 copies the window.
// `afterIteration`, when set, is called with the number of iterations done after each one and
// the estimate so far over the destination window (valid during the call); when it answers false
// the iterations end there (the caller is stopping and discards the result).
// With a kernel that is not its own mirror image (a shake's), the edge-extended border is not
// the exact mirror of the blur, and a pixel at the photograph's edge can grow by a constant factor
// each iteration until it overflows, and the FFT spreads the overflow over the whole channel. A
// sharp photograph's values never come near this bound, so it changes nothing else.
constexpr float kRichardsonLucyCeiling = 8;
// The bound of an estimate whose observed values reach `observedMax` (a black window's is tiny).
inline float RichardsonLucyCeilingFor(double observedMax) {
    return float(kRichardsonLucyCeiling * std::max(observedMax, 1e-6));
}
void richardsonLucyPlanarF(
    const PlanarF& src, const PlanarF& dest, int offsetX, int offsetY, const float* kernel,
    int kernelHeight, int kernelWidth, int iterations,
    const std::function<bool(int done, const PlanarF& estimate)>& afterIteration = {});

// Scratch sizes for the memory estimates; these engines need none beyond their own buffers.
inline std::size_t convolvePlanarFScratchSize() {
    return 0;
}
inline std::size_t richardsonLucyPlanarFScratchSize() {
    return 0;
}

// Resamples src (srcWidth × srcHeight four-byte pixels) to dest's size, each byte of a pixel on
// its own, byte order kept. Area averaging when shrinking, Lanczos when enlarging.
void scaleARGB8888(const std::uint8_t* src, int srcWidth, int srcHeight, std::size_t srcRowBytes,
                   std::uint8_t* dest, int destWidth, int destHeight, std::size_t destRowBytes);

}  // namespace velkaro
