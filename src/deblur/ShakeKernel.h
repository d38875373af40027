#pragma once

#include <atomic>
#include <cstdint>

#include "Filter.h"
#include "Image.h"
#include "MethodProgress.h"

namespace velkaro {

// Blind estimate of the kernel that blurred a section of a photograph, of any shape: the curved
// path of a hand's shake as well as a disc or a line.

struct ShakeEstimateOptions {
    int maxSize = 31;      // odd bound of the kernel's size, 3 … 63 (a second start may go up
                           // to 1.65 times this, at most 63); never over a third of the section's
                           // smaller side
    KernelImageRef start;  // optional first estimate (a confident disc or line), any size
    bool retry = true;     // further starts when the first explains under 40 % of the misfit,
                           // and with the dark channel prior when they explain under 15 %
};

struct ShakeEstimate {
    KernelImageRef kernel;  // null: no blur found (sharp section, noise only, too small, stopped)
    // 0 … 1: the share of the no-blur misfit of the section's spectrum that the kernel removes
    // (KernelSpectrumGain); under 0.15 the kernel is null.
    double confidence = 0;
    // The confidence of the searches' kernel, before the runs that keep its trails refined it
    // (equal to `confidence` where they did not): the runs at a lighter weight fit the spectrum
    // more closely whatever the blur, so a choice between this kernel and a disc or line weighs
    // this one.
    double searchConfidence = 0;
};

// Estimates the kernel of the region x, y, w, h of `image` (clipped to it; its central 640 × 640
// pixels at most are used). The kernel follows GenerateFilter's convention: blurred(p) =
// Σ weight(d) · sharp(p + d), and its centroid lies exactly on the middle pixel, so deconvolving
// with it moves no part of the photograph on average. A region smaller than 64 × 64 pixels, a flat,
// sharp or noise-only one gives a null kernel, as does a stop through `cancel` (polled every few
// milliseconds).
ShakeEstimate EstimateShakeKernel(const CImage& image, const Region& region,
                                  const ShakeEstimateOptions& options,
                                  const std::atomic<bool>* cancel = nullptr,
                                  const MethodProgress* progress = nullptr);
// Bytes the estimate of a w × h region with that size bound allocates at most.
std::int64_t EstimateShakeKernel_mem_usage(int w, int h, int maxSize);

}  // namespace velkaro
