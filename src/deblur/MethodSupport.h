#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "Filter.h"
#include "Image.h"

namespace velkaro {

// Pieces shared by the deblurring methods: the single-precision kernel of a radius and angle,
// one channel or the luminance of a window of the input in linear light, and the region's
// convolution.

// Float buffers the methods overwrite completely: not cleared on allocation.
using FloatBuffer = std::unique_ptr<float[]>;
inline FloatBuffer NewFloats(std::size_t count) {
    return std::make_unique_for_overwrite<float[]>(count);
}

// The n × n kernel of `radius` and `angle` as floats in storage order; n is returned in `size`.
void MethodKernel(std::vector<float>& kernel, int& size, double radius, const BlurKernel& blur);

// Channel `channel` of the input over the columns x0 … x1 − 1 and rows y0 … y1 − 1, clipped to
// the image. The window's place in the image is kept so that offsets can be translated.
struct ChannelWindow {
    FloatBuffer data;
    int x0 = 0, y0 = 0;         // image position of data[0]
    int width = 0, height = 0;  // size of the clipped window
};
void ReadChannelWindow(ChannelWindow& window, const CImage& in, int channel, int x0, int y0, int x1,
                       int y1);

// The region x, y, w, h of channel `channel` convolved with the n × n kernel, with the image's
// own pixels as neighbours and its true edge extended. Only the part of the image the kernel
// reaches is read. `result` receives w × h values; `observed`, when not null, receives the
// region's own unconvolved values.
void ConvolveRegion(FloatBuffer& result, FloatBuffer* observed, const CImage& in, int channel,
                    const std::vector<float>& kernel, int n, const Region& region);

// The luminance (Rec. 709 weights) in linear light of the w × h window at x, y, wholly inside the
// image, row after row: what the blur estimates analyse.
std::vector<float> ReadLuminanceWindow(const CImage& in, const Region& region);

// Writes w × h values into channel `channel` of out (exactly w × h pixels).
void WriteChannelRegion(CImage& out, int channel, const float* values, int w, int h);

}  // namespace velkaro
