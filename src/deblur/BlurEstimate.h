#pragma once

#include "Filter.h"
#include "Image.h"

namespace velkaro {

// Estimate of the blur of a section of a photograph, in the terms of the candidate grid: the
// kernel's shape (the disc of GenerateFilter with a negative angle, its line, or a kernel image of
// any shape), its radius in steps of 0.5 pixel, and for a line its angle.

enum class BlurShape { None, Disc, Motion, Shake };

struct BlurEstimate {
    BlurShape shape = BlurShape::None;
    int radiusStep = 0;     // 1 … 30 (radius = step × 0.5 pixel); 0 for None
    int angle = -1;         // 0 … 179 for Motion, -1 otherwise (GenerateFilter's convention)
    double confidence = 0;  // 0 … 1: how much better the blur explains the section than no blur
    KernelImageRef kernel;  // Shake only: the kernel itself (its own radius is radiusStep / 2)

    // The kernel description of the estimate (the disc for None).
    BlurKernel blurKernel() const {
        return kernel ? BlurKernel(kernel) : BlurKernel(shape == BlurShape::Motion ? angle : -1);
    }
};

// "none", "disc", "motion" or "shake".
const char* BlurShapeName(BlurShape shape);

// Estimates the blur of the region x, y, w, h of `image` (clipped to it) from the power spectrum
// of its luminance in linear light. A region smaller than 128 × 128 pixels, a sharp one or one of
// noise only gives None.
BlurEstimate EstimateBlur(const CImage& image, const Region& region);

// The same fit for a kernel of any shape: the share (0 … 1) of the no-blur misfit of the region's
// spectrum that the kernel removes, EstimateBlur's confidence for that kernel. 0 for a region
// smaller than 128 × 128 pixels or with too little signal above its noise.
double KernelSpectrumGain(const CImage& image, const Region& region, const KernelImage& kernel);

}  // namespace velkaro
