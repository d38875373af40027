#include "MethodSupport.h"

#include <algorithm>

#include "ColorSpace.h"
#include "Filter.h"
#include "Matrix.h"
#include "Planar.h"

namespace velkaro {

void MethodKernel(std::vector<float>& kernel, int& size, double radius, const BlurKernel& blur) {
    size = SizeForFilter(radius, blur);
    Matrix f(size, size);
    GenerateFilter(f, radius, blur);
    FilterToFloats(kernel, f);
}

void ReadChannelWindow(ChannelWindow& window, const CImage& in, int channel, int x0, int y0, int x1,
                       int y1) {
    window.x0 = std::clamp(x0, 0, in.width());
    window.y0 = std::clamp(y0, 0, in.height());
    window.width = std::clamp(x1, 0, in.width()) - window.x0;
    window.height = std::clamp(y1, 0, in.height()) - window.y0;
    window.width = std::max(window.width, 0);
    window.height = std::max(window.height, 0);
    window.data = NewFloats(std::size_t(window.width) * std::size_t(window.height));
    for (int r = 0; r < window.height; ++r)
        ReadImageChannel(in, window.x0, window.y0 + r, &window.data[std::size_t(r) * window.width],
                         window.width, channel);
}

void ConvolveRegion(FloatBuffer& result, FloatBuffer* observed, const CImage& in, int channel,
                    const std::vector<float>& kernel, int n, const Region& region) {
    const int x = region.x, y = region.y, w = region.w, h = region.h;
    // Beyond the reach of the kernel the image does not matter; where the window is clipped it
    // ends at the image's true edge, which the convolution extends, as it would the whole image.
    const int reach = (n - 1) / 2;
    ChannelWindow window;
    ReadChannelWindow(window, in, channel, x - reach, y - reach, x + w + reach, y + h + reach);
    result = NewFloats(std::size_t(w) * std::size_t(h));
    const PlanarF src{window.data.get(), window.width, window.height,
                      std::size_t(window.width) * sizeof(float)};
    const PlanarF dest{result.get(), w, h, std::size_t(w) * sizeof(float)};
    convolvePlanarF(src, dest, x - window.x0, y - window.y0, kernel.data(), n, n);
    if (observed) {
        *observed = NewFloats(std::size_t(w) * std::size_t(h));
        for (int r = 0; r < h; ++r)
            std::copy_n(
                &window.data[std::size_t(y - window.y0 + r) * window.width + (x - window.x0)], w,
                &(*observed)[std::size_t(r) * w]);
    }
}

std::vector<float> ReadLuminanceWindow(const CImage& in, const Region& region) {
    const int x = region.x, y = region.y, w = region.w, h = region.h;
    std::vector<float> luminance(std::size_t(w) * h), row(w);
    const float coefficient[4] = {0, 0.2126f, 0.7152f, 0.0722f};
    for (int r = 0; r < h; ++r) {
        float* out = &luminance[std::size_t(r) * w];
        for (int channel = 1; channel <= 3; ++channel) {
            ReadImageChannel(in, x, y + r, row.data(), w, channel);
            for (int c = 0; c < w; ++c)
                out[c] = (channel == 1 ? 0 : out[c]) + coefficient[channel] * row[c];
        }
    }
    return luminance;
}

void WriteChannelRegion(CImage& out, int channel, const float* values, int w, int h) {
    WriteImageChannel(values, out, 0, 0, w * h, channel);
}

}  // namespace velkaro
