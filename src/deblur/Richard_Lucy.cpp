#include "Richard_Lucy.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "Check.h"
#include "Filter.h"
#include "Log.h"
#include "MethodSupport.h"
#include "Planar.h"
#include "Timer.h"

namespace velkaro {

void deconvolve_lucy_richard(const CImage& in, CImage& o, int channel, double radius,
                             int iterations, const BlurKernel& blur, int x, int y, int w, int h,
                             const std::atomic<bool>* cancel, const MethodProgress* progress,
                             const IterationSnapshots* snapshots) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    Timer timer;
    timer.start();
    std::vector<float> kernel;
    int n = 0;
    MethodKernel(kernel, n, radius, blur);
    // The source starts at the region's first pixel and runs to the image's end. The planar
    // operation carries its estimate two kernel sizes beyond the region and reads nothing
    // further, so the rest of the image need not be decoded.
    const int reach = 2 * n;
    ChannelWindow window;
    ReadChannelWindow(window, in, channel, x, y, x + w + reach, y + h + reach);
    FloatBuffer result = NewFloats(std::size_t(w) * std::size_t(h));
    const PlanarF src{window.data.get(), window.width, window.height,
                      std::size_t(window.width) * sizeof(float)};
    const PlanarF dest{result.get(), w, h, std::size_t(w) * sizeof(float)};
    richardsonLucyPlanarF(
        src, dest, 0, 0, kernel.data(), n, n, iterations, [&](int done, const PlanarF& estimate) {
            for (const IterationSnapshot& s : snapshots ? *snapshots : IterationSnapshots{})
                if (s.iteration == done) {
                    // The same rows the planar service copies into dest at its end.
                    for (int r = 0; r < h; ++r)
                        std::copy_n(reinterpret_cast<const float*>(
                                        reinterpret_cast<const char*>(estimate.data) +
                                        std::size_t(r) * estimate.rowBytes),
                                    w, result.get() + std::size_t(r) * w);
                    WriteChannelRegion(*s.out, channel, result.get(), w, h);
                }
            ReportIteration(progress, done, iterations);
            return !StopRequested(cancel);
        });
    if (StopRequested(cancel))
        return;
    WriteChannelRegion(o, channel, result.get(), w, h);
    LogInfo("deconvolve_lucy_richard took %.2f seconds\n", timer.elapsed());
}

std::int64_t deconvolve_lucy_richard_mem_usage(const CImage& in, CImage& o, int, double radius, int,
                                               const BlurKernel& blur, int, int, int w, int h) {
    const int n = SizeForFilter(radius, blur);
    const long long err = (long long)richardsonLucyPlanarFScratchSize();
    VK_CHECK(err >= 0);
    return err + 4 * (std::int64_t(w) * h + std::int64_t(in.width()) * in.height()) +
           4 * std::int64_t(n) * n + 4 * std::int64_t(o.width()) * o.height();
}

}  // namespace velkaro
