#pragma once

#include <cstdint>
#include <vector>

#include "Filter.h"
#include "Image.h"

namespace velkaro {

// Unsharp mask: region + (region − blurred region) × amount.
// fast ≠ 0: the call for channel 1 blurs all four bytes of every pixel with a separable Gaussian
// of sigma |radius| + 1 on 8-bit data and writes whole pixels; other channels do nothing.
// fast = 0: channel `channel` is blurred in linear light with the kernel of radius and angle.
void unsharp_mask(const CImage& in, CImage& o, int fast, int channel, double radius, double amount,
                  const BlurKernel& blur, int x, int y, int w, int h);
std::int64_t unsharp_mask_mem_usage(const CImage& in, CImage& o, int fast, int channel,
                                    double radius, double amount, const BlurKernel& blur, int x,
                                    int y, int w, int h);

// The taps of the fast variant's Gaussian for `radius` (odd count, summing to 1).
void unsharp_mask_kernel(std::vector<double>& kernel, double radius);

}  // namespace velkaro
