#pragma once

#include <cstdint>

#include "Filter.h"
#include "Image.h"

namespace velkaro {

// A random camera-shake kernel: the path of a hand-held camera during the exposure, drawn from the
// trajectory model of Boracchi & Foi 2012 ("Modeling the performance of image restoration from
// motion blur", IEEE TIP 21(8)), `length` pixels long (10 … 40 are realistic; at least 1) and
// rasterised with bilinear splatting. Equal seeds give equal kernels on every platform. The
// weights follow GenerateFilter's convention (a kernel image).
KernelImageRef SyntheticShakeKernel(double length, std::uint32_t seed);

// A shake from another model, for judging what was tuned on SyntheticShakeKernel's: a cubic
// Bézier path through four random control points, `length` pixels long (at least 1), sampled at
// even steps of its parameter (so the hand slows where the curve turns back) with a brightness
// that swells and fades along it. Such kernels have a bright spot and faint trails.
KernelImageRef BezierShakeKernel(double length, std::uint32_t seed);

// A shake from a third model, after the kernels of Chakrabarti 2016 ("A neural approach to blind
// motion deblurring", ECCV): a spline through six random points, `length` pixels long (at least 1),
// each pixel it passes through weighted by a draw from N(1, 0.5) clipped to be non-negative. Such
// kernels loop and cross themselves, and their brightness varies from pixel to pixel.
KernelImageRef SplineShakeKernel(double length, std::uint32_t seed);

// Any of the three models, as the quality benchmarks choose one.
using ShakeKernelModel = KernelImageRef (*)(double length, std::uint32_t seed);

// A synthetic blurred photograph: each channel of `sharp` blurred in linear light by `kernel`
// (its edges extended), Gaussian noise of `noise` (on the encoded 0 … 1 scale; 1/255 is one
// level) added and quantised to 8 bits. Equal seeds give equal noise everywhere.
CImage SyntheticBlur(const CImage& sharp, const KernelImage& kernel, double noise,
                     std::uint32_t seed);

}  // namespace velkaro
