#pragma once

#include <atomic>
#include <cstdint>

#include "Filter.h"
#include "Image.h"
#include "MethodProgress.h"

namespace velkaro {

// Box-constrained least-squares deconvolution of channel `channel` of the region x, y, w, h of i:
// the sharp channel x in linear light minimises ½·‖A·x − b‖² subject to 0 ≤ x ≤ 1, where b is
// the observed channel and A the blur of radius `radius` and angle `angle` (negative: disc) with
// mirrored borders. Solved by a reflective Newton method to `tolerance`. passes = 0 solves once
// from b; passes = P > 0 averages the P + 1 solves started from the uniform values 0, 1/P, …, 1.
// The w × h result goes into channel `channel` of o, which must have exactly w × h pixels.
// `residual`, when not null, receives ‖A·x − b‖² of the result (not when cancelled).
// `cancel` is polled throughout: when it is set a single solve still writes its current iterate,
// a multi-pass run writes nothing, and a flag set on entry leaves o untouched.
// `progress` hears every iteration of the solver; its iteration count is not known in advance,
// so the fraction is an estimate from how far the objective's decrease has come towards the
// tolerance.
// A region of one pixel, or one narrower or lower than the kernel's half-width + 1, is outside
// the blur model: its channel is copied to o unchanged (residual is then not written).
void deconvolve_sllsbox(const CImage& i, CImage& o, int channel, double radius, double tolerance,
                        int passes, const BlurKernel& blur, int x, int y, int w, int h,
                        double* residual, const std::atomic<bool>* cancel,
                        const MethodProgress* progress = nullptr);

// Bytes the call above needs: 16·n² + 232·w·h + 4 · o's pixel count (n = the kernel size).
std::int64_t deconvolve_sllsbox_mem_usage(const CImage& i, const CImage& o, int channel,
                                          double radius, double tolerance, int passes,
                                          const BlurKernel& blur, int x, int y, int w, int h,
                                          double* residual);

}  // namespace velkaro
