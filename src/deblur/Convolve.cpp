#include "Convolve.h"

#include <cstdio>
#include <vector>

#include "Check.h"
#include "Filter.h"
#include "Log.h"
#include "MethodSupport.h"
#include "Planar.h"
#include "Timer.h"

namespace velkaro {

void convolve(const CImage& in, CImage& o, int channel, double radius, const BlurKernel& blur,
              int x, int y, int w, int h) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    Timer timer;
    timer.start();
    std::vector<float> kernel;
    int n = 0;
    MethodKernel(kernel, n, radius, blur);
    FloatBuffer result;
    ConvolveRegion(result, nullptr, in, channel, kernel, n, Region{x, y, w, h});
    WriteChannelRegion(o, channel, result.get(), w, h);
    LogInfo("convolve took %.2f seconds\n", timer.elapsed());
}

std::int64_t convolve_mem_usage(const CImage& in, CImage& o, int, double radius,
                                const BlurKernel& blur, int, int, int w, int h) {
    const int n = SizeForFilter(radius, blur);
    const long long err = (long long)convolvePlanarFScratchSize();
    VK_CHECK(err >= 0);
    // Summed in 64 bits: a 32-bit sum overflows for photographs beyond about 130 megapixels.
    return err + 4 * (std::int64_t(w) * h + std::int64_t(in.width()) * in.height()) +
           4 * std::int64_t(n) * n + 4 * std::int64_t(o.width()) * o.height();
}

}  // namespace velkaro
