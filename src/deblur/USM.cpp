#include "USM.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Check.h"
#include "Convolve.h"
#include "Dispatch.h"
#include "Log.h"
#include "MethodSupport.h"
#include "Timer.h"

namespace {

// Rows per task of the horizontal pass, and columns per strip of the vertical pass, of the fast
// variant.
constexpr int kLinesPerTask = 32;
constexpr int kStripColumns = 64;

// Blurs `channels` interleaved byte sequences of `length` samples with the n taps of `kernel`.
// Taps that fall outside the line are dropped and the remaining weights renormalised.
void blur_line(const double* kernel, int n, const std::uint8_t* src, std::uint8_t* dst, int length,
               int channels) {
    const int half = n / 2;
    for (int p = 0; p < length; ++p) {
        const bool inside = n <= length && p >= half && p < length - half;
        const int j0 = std::max(0, half - p), j1 = std::min(n, length - p + half);
        for (int c = 0; c < channels; ++c) {
            double v = 0, weight = 0;
            for (int j = j0; j < j1; ++j) {
                v += kernel[j] * src[std::size_t(p - half + j) * channels + c];
                weight += kernel[j];
            }
            if (!inside)
                v /= weight;
            dst[std::size_t(p) * channels + c] = std::uint8_t(int(v + 0.5));
        }
    }
}

void unsharp_mask_fast(const CImage& in, CImage& o, double radius, double amount, int x, int y,
                       int w, int h) {
    Timer timer;
    timer.start();
    std::vector<double> k;
    unsharp_mask_kernel(k, radius);
    const int n = int(k.size());
    const std::size_t outStride = std::size_t(o.width()) * 4;
    const std::size_t inStride = std::size_t(in.width()) * 4;

    // Horizontal pass, input rows into out.
    dispatchApply(
        (h + kLinesPerTask - 1) / kLinesPerTask, DispatchPriority::Default, [&](std::size_t task) {
            std::vector<std::uint8_t> a(std::size_t(w) * 4), b(std::size_t(w) * 4);
            const int r1 = std::min(h, int(task + 1) * kLinesPerTask);
            for (int r = int(task) * kLinesPerTask; r < r1; ++r) {
                std::memcpy(a.data(),
                            in.pixels() + std::size_t(y + r) * inStride + std::size_t(x) * 4,
                            a.size());
                blur_line(k.data(), n, a.data(), b.data(), w, 4);
                std::memcpy(o.pixels() + std::size_t(r) * outStride, b.data(), b.size());
            }
        });
    // Vertical pass in place, on strips of columns: each strip is gathered once and blurred row
    // by row, every byte with the same taps, order and renormalisation as blur_line gives it.
    dispatchApply(
        (w + kStripColumns - 1) / kStripColumns, DispatchPriority::Default, [&](std::size_t task) {
            const int c0 = int(task) * kStripColumns;
            const int bytes = 4 * std::min(kStripColumns, w - c0);
            std::vector<std::uint8_t> strip(std::size_t(h) * bytes);
            for (int r = 0; r < h; ++r)
                std::memcpy(&strip[std::size_t(r) * bytes],
                            o.pixels() + std::size_t(r) * outStride + std::size_t(c0) * 4, bytes);
            std::vector<double> acc(bytes);
            const int half = n / 2;
            for (int p = 0; p < h; ++p) {
                const bool inside = n <= h && p >= half && p < h - half;
                const int j0 = std::max(0, half - p), j1 = std::min(n, h - p + half);
                std::fill(acc.begin(), acc.end(), 0.0);
                double weight = 0;
                for (int j = j0; j < j1; ++j) {
                    const std::uint8_t* line = &strip[std::size_t(p - half + j) * bytes];
                    const double kj = k[j];
                    for (int b = 0; b < bytes; ++b) acc[b] += kj * line[b];
                    weight += kj;
                }
                std::uint8_t* dst = o.pixels() + std::size_t(p) * outStride + std::size_t(c0) * 4;
                for (int b = 0; b < bytes; ++b)
                    dst[b] = std::uint8_t(int((inside ? acc[b] : acc[b] / weight) + 0.5));
            }
        });
    // Sharpen every byte against the input.
    for (int r = 0; r < h; ++r) {
        const std::uint8_t* src = in.pixels() + std::size_t(y + r) * inStride + std::size_t(x) * 4;
        std::uint8_t* dst = o.pixels() + std::size_t(r) * outStride;
        for (int i = 0; i < 4 * w; ++i) {
            const double v = src[i] + (double(src[i]) - double(dst[i])) * amount;
            const double t = std::trunc(v);
            dst[i] = t <= 0 ? 0 : (t >= 255 ? 255 : std::uint8_t(t));
        }
    }
    LogInfo("unsharp mask fast for radius %.2f amount %.2f tooks %.3f seconds\n", radius, amount,
            timer.elapsed());
}

void unsharp_mask_full(const CImage& in, CImage& o, int channel, double radius, double amount,
                       int angle, int x, int y, int w, int h) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    Timer timer;
    timer.start();
    std::vector<float> kernel;
    int n = 0;
    MethodKernel(kernel, n, radius, angle);
    FloatBuffer blurred, observed;
    ConvolveRegion(blurred, &observed, in, channel, kernel, n, x, y, w, h);
    for (std::size_t i = 0; i < std::size_t(w) * std::size_t(h); ++i) {
        const float o0 = observed[i];
        const float d = o0 - blurred[i];
        blurred[i] = float(double(o0) + double(d) * amount);
    }
    WriteChannelRegion(o, channel, blurred.get(), w, h);
    LogInfo("unsharp mask full channel %d radius %.2f amount %.2f took %.2f seconds\n", channel,
            radius, amount, timer.elapsed());
}

}  // namespace

void unsharp_mask_kernel(std::vector<double>& kernel, double radius) {
    const double s = std::fabs(radius) + 1;
    const double cutoff = 2 * s;
    const int n = 1 + 2 * int(std::ceil(2 * s - 0.5));
    const int half = n / 2;
    auto g = [s](double u) { return std::exp(-u * u / (2 * s * s)); };
    kernel.assign(n, 0.0);
    for (int i = 1; i <= half; ++i) {
        double sum = 0;
        for (int t = 1; t <= 50; ++t) {
            const double u = i - 0.5 + 0.02 * t;
            if (u <= cutoff)
                sum += g(u);
        }
        kernel[half + i] = kernel[half - i] = sum / 50;
    }
    double centre = 0;
    for (int t = 0; t <= 50; ++t) centre += g(0.02 * t - 0.5);
    kernel[half] = centre / 51;
    double total = 0;
    for (double v : kernel) total += v;
    for (double& v : kernel) v /= total;
}

void unsharp_mask(const CImage& in, CImage& o, int fast, int channel, double radius, double amount,
                  int angle, int x, int y, int w, int h) {
    VK_CHECK(amount > 0);
    if (fast) {
        if (channel != 1)
            return;
        unsharp_mask_fast(in, o, radius, amount, x, y, w, h);
    } else {
        unsharp_mask_full(in, o, channel, radius, amount, angle, x, y, w, h);
    }
}

std::int64_t unsharp_mask_mem_usage(const CImage& in, CImage& o, int fast, int channel,
                                    double radius, double /*amount*/, int angle, int x, int y,
                                    int w, int h) {
    if (fast)
        return std::int64_t(std::max(w, h) * 8) + (std::int64_t(int(radius)) << 13);
    return convolve_mem_usage(in, o, channel, radius, angle, x, y, w, h);
}
