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

// Samples per block of the interior of blur_line and of blur_strip, and the widest reach of the
// kernel (both sides, in samples) for which blur_line converts a block to doubles once.
constexpr int kLineBlockBytes = 512;
constexpr int kLineReachBytes = 512;

// Blurs `channels` interleaved byte sequences of `length` samples with the n taps of `kernel`.
// Taps that fall outside the line are dropped and the remaining weights renormalised. Inside the
// line every byte sums all n taps in order, as the ends do; there the sums run side by side over
// a block of bytes.
// Samples are bytes or 16-bit words; each function is written once as an inlined template and
// cloned per processor for both widths below.
template <typename Sample>
[[gnu::always_inline]] inline void blurLineOf(const double* kernel, int n, const Sample* src,
                                              Sample* dst, int length, int channels) {
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
            dst[std::size_t(p) * channels + c] = Sample(int(v + 0.5));
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
                const Sample* line = src + b0 + (j - half) * channels;
                const double kj = kernel[j];
                for (int b = 0; b < count; ++b) acc[b] += kj * line[b];
            }
        } else {
            // The block and its reach on both sides, converted once.
            const Sample* line = src + b0 - reach;
            for (int b = 0; b < count + 2 * reach; ++b) values[b] = line[b];
            for (int b = 0; b < count; ++b) acc[b] = 0;
            for (int j = 0; j < n; ++j) {
                const double* v = values + j * channels;
                const double kj = kernel[j];
                for (int b = 0; b < count; ++b) acc[b] += kj * v[b];
            }
        }
        for (int b = 0; b < count; ++b) dst[b0 + b] = Sample(int(acc[b] + 0.5));
    }
    for (int p = std::max(half, length - half); p < length; ++p) end(p);
}

// Blurs a strip of h rows of `bytes` bytes along its columns into dst (rows outStride apart), every
// byte with the same taps, order and renormalisation as blur_line gives it. The rows under the
// kernel are kept as doubles in a ring of n rows, each row converted once.
template <typename Sample>
[[gnu::always_inline]] inline void blurStripOf(const double* kernel, int n, const Sample* strip,
                                               int bytes, int h, Sample* dst, std::size_t outStride,
                                               std::vector<double>& ring) {
    const int half = n / 2;
    ring.resize(std::size_t(n) * kLineBlockBytes);
    double acc[kLineBlockBytes];
    for (int b0 = 0; b0 < bytes; b0 += kLineBlockBytes) {
        const int count = std::min(kLineBlockBytes, bytes - b0);
        int converted = 0;  // rows 0 … converted − 1 have been in the ring
        for (int p = 0; p < h; ++p) {
            for (; converted <= std::min(h - 1, p + half); ++converted) {
                const Sample* line = strip + std::size_t(converted) * bytes + b0;
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
            Sample* out = dst + std::size_t(p) * outStride + b0;
            if (inside)
                for (int b = 0; b < count; ++b) out[b] = Sample(int(acc[b] + 0.5));
            else
                for (int b = 0; b < count; ++b) out[b] = Sample(int(acc[b] / weight + 0.5));
        }
    }
}

// dst = src + (src − dst) · amount, truncated and clamped to the samples' range.
template <typename Sample>
[[gnu::always_inline]] inline void sharpenLineOf(const Sample* src, Sample* dst, int count,
                                                 double amount) {
    constexpr double top = sizeof(Sample) == 1 ? 255 : 65535;
    for (int i = 0; i < count; ++i) {
        const double v = src[i] + (double(src[i]) - double(dst[i])) * amount;
        const double t = std::trunc(v);
        dst[i] = t <= 0 ? 0 : (t >= top ? Sample(top) : Sample(t));
    }
}

VK_AVX2_CLONES void blur_line(const double* kernel, int n, const std::uint8_t* src,
                              std::uint8_t* dst, int length, int channels) {
    blurLineOf(kernel, n, src, dst, length, channels);
}
VK_AVX2_CLONES void blur_line(const double* kernel, int n, const std::uint16_t* src,
                              std::uint16_t* dst, int length, int channels) {
    blurLineOf(kernel, n, src, dst, length, channels);
}
VK_AVX2_CLONES void blur_strip(const double* kernel, int n, const std::uint8_t* strip, int bytes,
                               int h, std::uint8_t* dst, std::size_t outStride,
                               std::vector<double>& ring) {
    blurStripOf(kernel, n, strip, bytes, h, dst, outStride, ring);
}
VK_AVX2_CLONES void blur_strip(const double* kernel, int n, const std::uint16_t* strip, int bytes,
                               int h, std::uint16_t* dst, std::size_t outStride,
                               std::vector<double>& ring) {
    blurStripOf(kernel, n, strip, bytes, h, dst, outStride, ring);
}
VK_AVX2_CLONES void sharpen_line(const std::uint8_t* src, std::uint8_t* dst, int count,
                                 double amount) {
    sharpenLineOf(src, dst, count, amount);
}
VK_AVX2_CLONES void sharpen_line(const std::uint16_t* src, std::uint16_t* dst, int count,
                                 double amount) {
    sharpenLineOf(src, dst, count, amount);
}

}  // namespace usm_lines

namespace {

// Rows per task of the horizontal pass, and columns per strip of the vertical pass, of the fast
// variant.
constexpr int kLinesPerTask = 32;
constexpr int kStripColumns = 64;

// The fast variant on samples of type `Sample` (the images' depth): the same arithmetic at either
// width, rounding and clamping to the samples' own range.
template <typename Sample>
void unsharpMaskFastOf(const CImage& in, CImage& o, const std::vector<double>& k, double amount,
                       int x, int y, int w, int h) {
    const int n = int(k.size());
    const std::size_t outStride = std::size_t(o.width()) * 4;
    const std::size_t inStride = std::size_t(in.width()) * 4;
    const Sample* input = reinterpret_cast<const Sample*>(in.pixels());
    Sample* output = reinterpret_cast<Sample*>(o.pixels());

    // Horizontal pass, input rows into out.
    dispatchApply((h + kLinesPerTask - 1) / kLinesPerTask, [&](std::size_t task) {
        const int r1 = std::min(h, int(task + 1) * kLinesPerTask);
        for (int r = int(task) * kLinesPerTask; r < r1; ++r)
            usm_lines::blur_line(k.data(), n,
                                 input + std::size_t(y + r) * inStride + std::size_t(x) * 4,
                                 output + std::size_t(r) * outStride, w, 4);
    });
    // Vertical pass in place, on strips of columns: each strip is gathered once and blurred row
    // by row, every sample with the same taps, order and renormalisation as blur_line gives it.
    dispatchApply((w + kStripColumns - 1) / kStripColumns, [&](std::size_t task) {
        const int c0 = int(task) * kStripColumns;
        const int samples = 4 * std::min(kStripColumns, w - c0);
        std::vector<Sample> strip(std::size_t(h) * samples);
        for (int r = 0; r < h; ++r)
            std::memcpy(&strip[std::size_t(r) * samples],
                        output + std::size_t(r) * outStride + std::size_t(c0) * 4,
                        samples * sizeof(Sample));
        std::vector<double> ring;
        usm_lines::blur_strip(k.data(), n, strip.data(), samples, h, output + std::size_t(c0) * 4,
                              outStride, ring);
    });
    // Sharpen every sample against the input.
    dispatchApply((h + kLinesPerTask - 1) / kLinesPerTask, [&](std::size_t task) {
        const int r1 = std::min(h, int(task + 1) * kLinesPerTask);
        for (int r = int(task) * kLinesPerTask; r < r1; ++r) {
            const Sample* src = input + std::size_t(y + r) * inStride + std::size_t(x) * 4;
            Sample* dst = output + std::size_t(r) * outStride;
            usm_lines::sharpen_line(src, dst, 4 * w, amount);
        }
    });
}

void unsharp_mask_fast(const CImage& in, CImage& o, double radius, double amount, int x, int y,
                       int w, int h) {
    VK_CHECK(in.depth() == o.depth());
    Timer timer;
    timer.start();
    std::vector<double> k;
    unsharp_mask_kernel(k, radius);
    if (in.depth() == 16)
        unsharpMaskFastOf<std::uint16_t>(in, o, k, amount, x, y, w, h);
    else
        unsharpMaskFastOf<std::uint8_t>(in, o, k, amount, x, y, w, h);
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
