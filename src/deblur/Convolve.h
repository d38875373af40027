#pragma once

#include <cstdint>

#include "Filter.h"
#include "Image.h"

namespace velkaro {

// Blur simulation: channel `channel` of the region x, y, w, h of `in` convolved with the kernel
// of `radius` and `angle` (negative: disc), written into the same channel of `o` (w × h).
void convolve(const CImage& in, CImage& o, int channel, double radius, const BlurKernel& blur,
              int x, int y, int w, int h);
std::int64_t convolve_mem_usage(const CImage& in, CImage& o, int channel, double radius,
                                const BlurKernel& blur, int x, int y, int w, int h);

}  // namespace velkaro
