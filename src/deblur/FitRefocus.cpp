#include "FitRefocus.h"

#include <cstring>

namespace velkaro {

void fit_refocus(const CImage& in, CImage& o, int channel, double, const BlurKernel&, int x, int y,
                 int w, int h) {
    if (channel != 1)
        return;
    for (int r = 0; r < h; ++r)
        std::memcpy(o.pixelAt(0, r), in.pixelAt(x, y + r), std::size_t(w) * in.bytesPerPixel());
}

std::int64_t fit_refocus_mem_usage(const CImage& in, CImage& o, int, double, const BlurKernel&, int,
                                   int, int, int) {
    // The region is copied as it is: only the images themselves, at 4 bytes a pixel as every
    // method counts them (the session adds what 16-bit samples take beyond that).
    return 4 * (std::int64_t(in.width()) * in.height() + std::int64_t(o.width()) * o.height());
}

}  // namespace velkaro
