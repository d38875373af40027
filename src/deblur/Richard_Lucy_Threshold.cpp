#include "Richard_Lucy_Threshold.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Check.h"
#include "Filter.h"
#include "ImageIO.h"
#include "ImageProcess.h"
#include "Log.h"
#include "MethodSupport.h"
#include "Planar.h"
#include "PlanarFft.h"
#include "Timer.h"

namespace velkaro {

namespace {

// Debug pictures are written only when asked for, so that ordinary runs leave no files behind.
bool debugDumpsEnabled() {
    const char* v = std::getenv("VELKARO_DEBUG_DUMPS");
    return v && std::strcmp(v, "1") == 0;
}

// Convolution of w × h planes with one kernel, the kernel's spectrum kept across iterations when
// the FFT engine pays.
class RegionConvolver {
  public:
    RegionConvolver(const std::vector<float>& kernel, int n, int w, int h)
        : mKernel(kernel), mN(n), mW(w), mH(h) {
        if (planarFftPays(w, h, n, n))
            mFft = std::make_unique<PlanarFftConvolution>(kernel.data(), n, n, w, h);
    }
    void run(float* src, float* dest) {
        const PlanarF s{src, mW, mH, std::size_t(mW) * sizeof(float)};
        const PlanarF d{dest, mW, mH, std::size_t(mW) * sizeof(float)};
        if (mFft)
            mFft->apply(s, d, 0, 0);
        else
            convolvePlanarF(s, d, 0, 0, mKernel.data(), mN, mN);
    }

  private:
    const std::vector<float>& mKernel;
    int mN, mW, mH;
    std::unique_ptr<PlanarFftConvolution> mFft;
};

}  // namespace

void deconvolve_lucy_richard_threshold(const CImage& in, CImage& o, int channel, double radius,
                                       int iterations, const BlurKernel& blur, int x, int y, int w,
                                       int h, const std::atomic<bool>* cancel,
                                       const MethodProgress* progress,
                                       const IterationSnapshots* snapshots) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    Timer timer;
    timer.start();

    // Detailed pixels: the texture mask of the region, shown as grey levels 0 and 255.
    CImage mask(w, h);
    CreateMask(in.asImage(), mask.asImage(), x, y, w, h, 2, 1, float(radius), -1, 0.2f);
    const std::size_t count = std::size_t(w) * std::size_t(h);
    std::vector<std::uint8_t> detailed(count);
    for (std::size_t i = 0; i < count; ++i) detailed[i] = mask.pixels()[i * 4 + 1] >= 128;

    // Only the region is used: its observed values.
    ChannelWindow observed;
    ReadChannelWindow(observed, in, channel, x, y, x + w, y + h);
    const float* O = observed.data.get();

    std::vector<float> kernel;
    int n = 0;
    MethodKernel(kernel, n, radius, blur);
    if (channel == 1 && debugDumpsEnabled())
        DumpRawImageFloat(kernel.data(), n, n, 1, "filter_it-%d_%.2f", 0, radius);

    FloatBuffer E = NewFloats(count), Q = NewFloats(count), C = NewFloats(count);
    std::copy_n(O, count, E.get());
    RegionConvolver convolver(kernel, n, w, h);
    // The ratio goes back through the mirrored kernel; the disc and the line are their own
    // mirror images, a kernel image in general is not.
    std::vector<float> mirrored;
    std::unique_ptr<RegionConvolver> back;
    if (blur.isImage()) {
        mirrored.assign(kernel.rbegin(), kernel.rend());
        back = std::make_unique<RegionConvolver>(mirrored, n, w, h);
    }
    RegionConvolver& backward = back ? *back : convolver;
    const float floor = 1e-12f;
    const float ceiling = RichardsonLucyCeilingFor(count ? *std::max_element(O, O + count) : 0.0f);
    for (int it = 0; it < iterations; ++it) {
        convolver.run(E.get(), Q.get());
        for (std::size_t i = 0; i < count; ++i) Q[i] = O[i] / std::max(Q[i], floor);
        backward.run(Q.get(), C.get());
        for (std::size_t i = 0; i < count; ++i)
            E[i] = detailed[i] ? std::min(E[i] * C[i], ceiling) : O[i];
        for (const IterationSnapshot& s : snapshots ? *snapshots : IterationSnapshots{})
            if (s.iteration == it + 1)
                WriteChannelRegion(*s.out, channel, E.get(), w, h);
        ReportIteration(progress, it + 1, iterations);
        if (StopRequested(cancel))
            return;
    }

    WriteChannelRegion(o, channel, E.get(), w, h);
    LogInfo("deconvolve_lucy_threshold_richard took %.2f seconds\n", timer.elapsed());
}

std::int64_t deconvolve_lucy_richard_threshold_mem_usage(const CImage& in, CImage& o, int,
                                                         double radius, int, const BlurKernel& blur,
                                                         int, int, int w, int h) {
    const std::int64_t n = SizeForFilter(radius, blur);
    const std::int64_t region = std::int64_t(w) * h, padded = (w + n) * (h + n);
    // The region's mask (4 bytes a pixel, then 1 as flags), its observed values and three float
    // planes (16); the FFT convolution's kernel spectrum and complex work plane over the padded
    // region (8 + 8) when it is used; the images around them (4).
    const std::int64_t fft = planarFftPays(w, h, int(n), int(n)) ? 16 * padded : 0;
    return 21 * region + fft + 4 * n * n +
           4 * (std::int64_t(in.width()) * in.height() + std::int64_t(o.width()) * o.height());
}

}  // namespace velkaro
