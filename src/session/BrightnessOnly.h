#pragma once

#include "DeblurMethods.h"
#include "Image.h"

namespace velkaro {

// Deblurring the brightness alone: the methods work on one grey picture of the photograph's
// linear-light luminance instead of its three colour channels, and each pixel of the result keeps
// the colour ratios it had, so that no colour fringe can appear.

// The luminance Y = 0.2126 R + 0.7152 G + 0.0722 B of `image` in linear light, written as sRGB
// levels into all three channels of a new opaque picture of the same size and depth. A grey pixel
// keeps its level, so a grey photograph gives itself.
CImage LuminancePicture(const CImage& image);

// `result` (region-sized) holds in channel 1 the deblurred luminance of `region`; writes its three
// channels as the original's pixels scaled in linear light by Y_out / Y_in, Y_in being what
// `luminance` (LuminancePicture of `original`) holds, clamped to 0 … 1. Where Y_in is 0 the pixel
// becomes the grey Y_out.
void RecolourFromLuminance(const CImage& original, const CImage& luminance, const Region& region,
                           CImage& result);

}  // namespace velkaro
