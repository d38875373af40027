#pragma once

#include <atomic>
#include <cstdint>

#include "Filter.h"
#include "Image.h"
#include "MethodProgress.h"

namespace velkaro {

// Richardson–Lucy deconvolution confined to the detailed part of the region x, y, w, h: after
// every iteration the pixels outside a local-contrast mask (mask type 2) get their observed
// values back. The region alone is convolved, its edges extended on all four sides.
// With VELKARO_DEBUG_DUMPS=1 in the environment the call for channel 1 also writes the kernel
// as a numbered grey PNG into the working directory. Progress, cancel and snapshots as
// for deconvolve_lucy_richard.
void deconvolve_lucy_richard_threshold(const CImage& in, CImage& o, int channel, double radius,
                                       int iterations, const BlurKernel& blur, int x, int y, int w,
                                       int h, const std::atomic<bool>* cancel = nullptr,
                                       const MethodProgress* progress = nullptr,
                                       const IterationSnapshots* snapshots = nullptr);
std::int64_t deconvolve_lucy_richard_threshold_mem_usage(const CImage& in, CImage& o, int channel,
                                                         double radius, int iterations,
                                                         const BlurKernel& blur, int x, int y,
                                                         int w, int h);

}  // namespace velkaro
