#pragma once

#include <cstdint>

#include "Filter.h"
#include "Image.h"

namespace velkaro {

// Pass-through: the call for channel 1 copies the region x, y, w, h of `in`, all four bytes of
// every pixel, into `o` (w × h); the calls for the other channels do nothing.
void fit_refocus(const CImage& in, CImage& o, int channel, double radius, const BlurKernel& blur,
                 int x, int y, int w, int h);
std::int64_t fit_refocus_mem_usage(const CImage& in, CImage& o, int channel, double radius,
                                   const BlurKernel& blur, int x, int y, int w, int h);

}  // namespace velkaro
