#include "USM.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Avx2Clones.h"
#include "Check.h"
#include "Convolve.h"
#include "Dispatch.h"
#include "Log.h"
#include "MethodSupport.h"
#include "Timer.h"

namespace velkaro {

// The line kernels of the fast variant (external linkage: processor-specific clones need it).
namespace usm_lines {

// Bytes per block of the interior of blur_line and of blur_strip, and the widest reach of the
// kernel (both sides, in bytes) for which blur_line converts a block to doubles once.
constexpr int kLineBlockBytes = 512;
constexpr int kLineReachBytes = 512;

// Blurs `channels` interleaved byte sequences of `length` samples with the n taps of `kernel`.
// Taps that fall outside the line are dropped and the remaining weights renormalised. Inside the
// line every byte sums all n taps in order, as the ends do; there the sums run side by side over
// a block of bytes.
VK_AVX2_CLONES void blur_line(const double* kernel, int n, const std::uint8_t* src,
                              std::uint8_t* dst, int length, int channels) {
    const int half = n / 2;
    auto end = [&](int p) {
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
    };
    if (n > length) {
        for (int p = 0; p < length; ++p) end(p);
        return;
    }
    for (int p = 0; p < half; ++p) end(p);
    const int i0 = half * channels, i1 = (length - half) * channels;
    const int reach = half * channels;
    double acc[kLineBlockBytes], values[kLineBlockBytes + kLineReachBytes];
    for (int b0 = i0; b0 < i1; b0 += kLineBlockBytes) {
        const int count = std::min(kLineBlockBytes, i1 - b0);
        if (2 * reach > kLineReachBytes) {
            for (int b = 0; b < count; ++b) acc[b] = 0;
            for (int j = 0; j < n; ++j) {
                const std::uint8_t* line = src + b0 + (j - half) * channels;
                const double kj = kernel[j];
                for (int b = 0; b < count; ++b) acc[b] += kj * line[b];
            }
        } else {
            // The block and its reach on both sides, converted once.
            const std::uint8_t* line = src + b0 - reach;
            for (int b = 0; b < count + 2 * reach; ++b) values[b] = line[b];
            for (int b = 0; b < count; ++b) acc[b] = 0;
            for (int j = 0; j < n; ++j) {
                const double* v = values + j * channels;
                const double kj = kernel[j];
                for (int b = 0; b < count; ++b) acc[b] += kj * v[b];
            }
        }
        for (int b = 0; b < count; ++b) dst[b0 + b] = std::uint8_t(int(acc[b] + 0.5));
    }
    for (int p = std::max(half, length - half); p < length; ++p) end(p);
}

// Blurs a strip of h rows of `bytes` bytes along its columns into dst (rows outStride apart), every
// byte with the same taps, order and renormalisation as blur_line gives it. The rows under the
// kernel are kept as doubles in a ring of n rows, each row converted once.
VK_AVX2_CLONES void blur_strip(const double* kernel, int n, const std::uint8_t* strip, int bytes,
                               int h, std::uint8_t* dst, std::size_t outStride,
                               std::vector<double>& ring) {
    const int half = n / 2;
    ring.resize(std::size_t(n) * kLineBlockBytes);
    double acc[kLineBlockBytes];
    for (int b0 = 0; b0 < bytes; b0 += kLineBlockBytes) {
        const int count = std::min(kLineBlockBytes, bytes - b0);
        int converted = 0;  // rows 0 … converted − 1 have been in the ring
        for (int p = 0; p < h; ++p) {
            for (; converted <= std::min(h - 1, p + half); ++converted) {
                const std::uint8_t* line = strip + std::size_t(converted) * bytes + b0;
                double* row = &ring[std::size_t(converted % n) * kLineBlockBytes];
                for (int b = 0; b < count; ++b) row[b] = line[b];
            }
            const bool inside = n <= h && p >= half && p < h - half;
            const int j0 = std::max(0, half - p), j1 = std::min(n, h - p + half);
            for (int b = 0; b < count; ++b) acc[b] = 0;
            double weight = 0;
            for (int j = j0; j < j1; ++j) {
                const double* row = &ring[std::size_t((p - half + j) % n) * kLineBlockBytes];
                const double kj = kernel[j];
                for (int b = 0; b < count; ++b) acc[b] += kj * row[b];
                weight += kj;
            }
            std::uint8_t* out = dst + std::size_t(p) * outStride + b0;
            if (inside)
                for (int b = 0; b < count; ++b) out[b] = std::uint8_t(int(acc[b] + 0.5));
            else
                for (int b = 0; b < count; ++b) out[b] = std::uint8_t(int(acc[b] / weight + 0.5));
        }
    }
}

// dst = src + (src − dst) · amount, truncated and clamped to bytes.
VK_AVX2_CLONES void sharpen_line(const std::uint8_t* src, std::uint8_t* dst, int count,
                                 double amount) {
    for (int i = 0; i < count; ++i) {
        const double v = src[i] + (double(src[i]) - double(dst[i])) * amount;
        const double t = std::trunc(v);
        dst[i] = t <= 0 ? 0 : (t >= 255 ? 255 : std::uint8_t(t));
    }
}

}  // namespace usm_lines

namespace {

// Rows per task of the horizontal pass, and columns per strip of the vertical pass, of the fast
// variant.
constexpr int kLinesPerTask = 32;
constexpr int kStripColumns = 64;

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
    dispatchApply((h + kLinesPerTask - 1) / kLinesPerTask, [&](std::size_t task) {
        const int r1 = std::min(h, int(task + 1) * kLinesPerTask);
        for (int r = int(task) * kLinesPerTask; r < r1; ++r)
            usm_lines::blur_line(k.data(), n,
                                 in.pixels() + std::size_t(y + r) * inStride + std::size_t(x) * 4,
                                 o.pixels() + std::size_t(r) * outStride, w, 4);
    });
    // Vertical pass in place, on strips of columns: each strip is gathered once and blurred row
    // by row, every byte with the same taps, order and renormalisation as blur_line gives it.
    dispatchApply((w + kStripColumns - 1) / kStripColumns, [&](std::size_t task) {
        const int c0 = int(task) * kStripColumns;
        const int bytes = 4 * std::min(kStripColumns, w - c0);
        std::vector<std::uint8_t> strip(std::size_t(h) * bytes);
        for (int r = 0; r < h; ++r)
            std::memcpy(&strip[std::size_t(r) * bytes],
                        o.pixels() + std::size_t(r) * outStride + std::size_t(c0) * 4, bytes);
        std::vector<double> ring;
        usm_lines::blur_strip(k.data(), n, strip.data(), bytes, h, o.pixels() + std::size_t(c0) * 4,
                              outStride, ring);
    });
    // Sharpen every byte against the input.
    dispatchApply((h + kLinesPerTask - 1) / kLinesPerTask, [&](std::size_t task) {
        const int r1 = std::min(h, int(task + 1) * kLinesPerTask);
        for (int r = int(task) * kLinesPerTask; r < r1; ++r) {
            const std::uint8_t* src =
                in.pixels() + std::size_t(y + r) * inStride + std::size_t(x) * 4;
            std::uint8_t* dst = o.pixels() + std::size_t(r) * outStride;
            usm_lines::sharpen_line(src, dst, 4 * w, amount);
        }
    });
    LogInfo("unsharp mask fast for radius %.2f amount %.2f tooks %.3f seconds\n", radius, amount,
            timer.elapsed());
}

void unsharp_mask_full(const CImage& in, CImage& o, int channel, double radius, double amount,
                       const BlurKernel& blur, int x, int y, int w, int h) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    Timer timer;
    timer.start();
    std::vector<float> kernel;
    int n = 0;
    MethodKernel(kernel, n, radius, blur);
    FloatBuffer blurred, observed;
    ConvolveRegion(blurred, &observed, in, channel, kernel, n, Region{x, y, w, h});
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
                  const BlurKernel& blur, int x, int y, int w, int h) {
    VK_CHECK(amount > 0);
    if (fast) {
        if (channel != 1)
            return;
        unsharp_mask_fast(in, o, radius, amount, x, y, w, h);
    } else {
        unsharp_mask_full(in, o, channel, radius, amount, blur, x, y, w, h);
    }
}

std::int64_t unsharp_mask_mem_usage(const CImage& in, CImage& o, int fast, int channel,
                                    double radius, double /*amount*/, const BlurKernel& blur, int x,
                                    int y, int w, int h) {
    if (fast)
        return std::int64_t(std::max(w, h) * 8) + (std::int64_t(int(radius)) << 13);
    return convolve_mem_usage(in, o, channel, radius, blur, x, y, w, h);
}

}  // namespace velkaro
