#include "BrightnessOnly.h"

#include <cstddef>
#include <vector>

#include "ColorSpace.h"
#include "MethodSupport.h"

namespace velkaro {

CImage LuminancePicture(const CImage& image) {
    const int width = image.width(), height = image.height();
    CImage picture(width, height);
    std::vector<float> luminance;
    for (int y = 0; y < height; ++y) {
        luminance = ReadLuminanceWindow(image, Region{0, y, width, 1});
        const std::size_t rowStart = std::size_t(y) * width * 4;
        std::uint8_t* out = picture.pixels() + rowStart;
        for (int channel = 1; channel <= 3; ++channel)
            WriteChannelFloat(luminance.data(), out, width, channel);
        // The weights' float sum is not exactly 1: a neutral pixel is copied so that it stays.
        const std::uint8_t* in = image.pixels() + rowStart;
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = in + std::size_t(x) * 4;
            if (p[1] == p[2] && p[2] == p[3])
                out[x * 4 + 1] = out[x * 4 + 2] = out[x * 4 + 3] = p[1];
        }
    }
    return picture;
}

void RecolourFromLuminance(const CImage& original, const CImage& luminance, const Region& region,
                           CImage& result) {
    const int w = region.w;
    std::vector<float> rgb[3], yIn(w), yOut(w), out(w);
    std::vector<std::uint8_t> yOutBytes(w);
    for (auto& channel : rgb) channel.resize(w);
    for (int r = 0; r < region.h; ++r) {
        const std::size_t offset = (std::size_t(region.y + r) * original.width() + region.x) * 4;
        const std::uint8_t* in = original.pixels() + offset;
        std::uint8_t* row = result.pixels() + std::size_t(r) * w * 4;
        for (int c = 0; c < 3; ++c) ReadChannelFloat(in, rgb[c].data(), w, c + 1);
        ReadChannelFloat(luminance.pixels() + offset, yIn.data(), w, 1);
        ReadChannelFloat(row, yOut.data(), w, 1);
        for (int x = 0; x < w; ++x) yOutBytes[x] = row[x * 4 + 1];
        for (int c = 0; c < 3; ++c) {
            for (int x = 0; x < w; ++x)
                out[x] = yIn[x] > 0 ? yOut[x] * (rgb[c][x] / yIn[x]) : yOut[x];
            WriteChannelFloat(out.data(), row, w, c + 1);
        }
        // A neutral pixel, or one without luminance, is the grey the method wrote, byte for byte
        // (decoding a byte and encoding it again does not give every byte back).
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* p = in + x * 4;
            if ((p[1] == p[2] && p[2] == p[3]) || yIn[x] <= 0)
                row[x * 4 + 1] = row[x * 4 + 2] = row[x * 4 + 3] = yOutBytes[x];
        }
    }
}

}  // namespace velkaro
