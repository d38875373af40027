#pragma once

#include <cstdint>

#include "Filter.h"

namespace velkaro {

// A random camera-shake kernel: the path of a hand-held camera during the exposure, drawn from the
// trajectory model of Boracchi & Foi 2012 ("Modeling the performance of image restoration from
// motion blur", IEEE TIP 21(8)), `length` pixels long (10 … 40 are realistic; at least 1) and
// rasterised with bilinear splatting. Equal seeds give equal kernels on every platform. The
// weights follow GenerateFilter's convention (a kernel image).
KernelImageRef SyntheticShakeKernel(double length, std::uint32_t seed);

}  // namespace velkaro
