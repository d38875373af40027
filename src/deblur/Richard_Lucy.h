#pragma once

#include <atomic>
#include <cstdint>

#include "Filter.h"
#include "Image.h"
#include "MethodProgress.h"

namespace velkaro {

// Richardson–Lucy deconvolution (Richardson 1972, Lucy 1974) of channel `channel` of the region
// x, y, w, h of `in` with the kernel of `radius` and `angle`, `iterations` times, written into
// the same channel of `o` (w × h). The image below and to the right of the region serves as its
// neighbourhood; above and to the left the region's first row and column are extended.
// Every iteration is reported to `progress`; `cancel` is polled between iterations, and a call
// stopped by it leaves o untouched. `snapshots` receive the results of fewer iterations.
void deconvolve_lucy_richard(const CImage& in, CImage& o, int channel, double radius,
                             int iterations, const BlurKernel& blur, int x, int y, int w, int h,
                             const std::atomic<bool>* cancel = nullptr,
                             const MethodProgress* progress = nullptr,
                             const IterationSnapshots* snapshots = nullptr);
std::int64_t deconvolve_lucy_richard_mem_usage(const CImage& in, CImage& o, int channel,
                                               double radius, int iterations,
                                               const BlurKernel& blur, int x, int y, int w, int h);

}  // namespace velkaro
