#include "BrightnessOnly.h"

#include <cstddef>
#include <vector>

#include "ColorSpace.h"
#include "MethodSupport.h"

namespace velkaro {

namespace {

// Pixel x, y of `image` as samples of its depth.
template <typename Sample>
Sample* samplesAt(const CImage& image, int x, int y) {
    return reinterpret_cast<Sample*>(image.pixelAt(x, y));
}

template <typename Sample>
void luminancePictureOf(const CImage& image, CImage& picture) {
    const int width = image.width(), height = image.height();
    std::vector<float> luminance;
    for (int y = 0; y < height; ++y) {
        luminance = ReadLuminanceWindow(image, Region{0, y, width, 1});
        Sample* out = samplesAt<Sample>(picture, 0, y);
        for (int channel = 1; channel <= 3; ++channel)
            WriteChannelFloat(luminance.data(), out, width, channel);
        // The weights' float sum is not exactly 1: a neutral pixel is copied so that it stays.
        const Sample* in = samplesAt<Sample>(image, 0, y);
        for (int x = 0; x < width; ++x) {
            const Sample* p = in + std::size_t(x) * 4;
            if (p[1] == p[2] && p[2] == p[3])
                out[x * 4 + 1] = out[x * 4 + 2] = out[x * 4 + 3] = p[1];
        }
    }
}

template <typename Sample>
void recolourOf(const CImage& original, const CImage& luminance, const Region& region,
                CImage& result) {
    const int w = region.w;
    std::vector<float> rgb[3], yIn(w), yOut(w), out(w);
    std::vector<Sample> yOutSamples(w);
    for (auto& channel : rgb) channel.resize(w);
    for (int r = 0; r < region.h; ++r) {
        const Sample* in = samplesAt<Sample>(original, region.x, region.y + r);
        Sample* row = samplesAt<Sample>(result, 0, r);
        for (int c = 0; c < 3; ++c) ReadChannelFloat(in, rgb[c].data(), w, c + 1);
        ReadChannelFloat(samplesAt<Sample>(luminance, region.x, region.y + r), yIn.data(), w, 1);
        ReadChannelFloat(row, yOut.data(), w, 1);
        for (int x = 0; x < w; ++x) yOutSamples[x] = row[x * 4 + 1];
        for (int c = 0; c < 3; ++c) {
            for (int x = 0; x < w; ++x)
                out[x] = yIn[x] > 0 ? yOut[x] * (rgb[c][x] / yIn[x]) : yOut[x];
            WriteChannelFloat(out.data(), row, w, c + 1);
        }
        // A neutral pixel, or one without luminance, is the grey the method wrote, sample for
        // sample (decoding a level and encoding it again does not give every level back).
        for (int x = 0; x < w; ++x) {
            const Sample* p = in + x * 4;
            if ((p[1] == p[2] && p[2] == p[3]) || yIn[x] <= 0)
                row[x * 4 + 1] = row[x * 4 + 2] = row[x * 4 + 3] = yOutSamples[x];
        }
    }
}

}  // namespace

CImage LuminancePicture(const CImage& image) {
    CImage picture(image.width(), image.height(), image.depth());
    if (image.depth() == 16)
        luminancePictureOf<std::uint16_t>(image, picture);
    else
        luminancePictureOf<std::uint8_t>(image, picture);
    return picture;
}

void RecolourFromLuminance(const CImage& original, const CImage& luminance, const Region& region,
                           CImage& result) {
    if (original.depth() == 16)
        recolourOf<std::uint16_t>(original, luminance, region, result);
    else
        recolourOf<std::uint8_t>(original, luminance, region, result);
}

}  // namespace velkaro
