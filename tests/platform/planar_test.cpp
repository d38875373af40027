#include "Planar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "PlanarFft.h"

using namespace velkaro;

namespace {

// A plane whose rows are `pad` floats longer than its width; the padding holds `fill`.
struct Plane {
    int width, height, stride;
    std::vector<float> pixels;
    Plane(int w, int h, float v = 0, int pad = 0, float fill = 0)
        : width(w), height(h), stride(w + pad), pixels(std::size_t(w + pad) * h, fill) {
        for (int y = 0; y < h; ++y) std::fill_n(&at(0, y), w, v);
    }
    float& at(int x, int y) { return pixels[std::size_t(y) * stride + x]; }
    PlanarF planar() { return {pixels.data(), width, height, std::size_t(stride) * sizeof(float)}; }
};

Plane RandomPlane(int w, int h, unsigned seed, float lo = 0, float hi = 1, int pad = 0) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    Plane p(w, h, 0, pad, 1e30f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p.at(x, y) = u(rng);
    return p;
}

std::vector<float> RandomKernel(int kh, int kw, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<float> k(std::size_t(kh) * kw);
    float sum = 0;
    for (float& v : k) sum += v = u(rng);
    for (float& v : k) v /= sum;
    return k;
}

}  // namespace

TEST(Planar, ConvolutionOfARegionEqualsClampedReferenceWhicheverEngineRuns) {
    // Padded rows in source and destination; the destination's padding stays untouched.
    const int sw = 230, sh = 190, pad = 5;
    Plane src = RandomPlane(sw, sh, 1, 0, 1, pad);
    struct Case {
        int kh, kw, ox, oy, w, h;
    };
    const Case cases[] = {{3, 3, 0, 0, sw, sh},   {7, 3, 0, 0, 13, 9},
                          {1, 1, 5, 5, 3, 3},     {9, 9, 221, 181, 9, 9},
                          {5, 5, 100, 7, 20, 15}, {31, 31, 20, 15, 180, 150},
                          {21, 21, 0, 0, sw, sh}, {41, 41, 100, 90, 130, 100}};
    bool spatial = false, fft = false;
    for (const Case& c : cases) {
        (planarFftPays(c.w, c.h, c.kh, c.kw) ? fft : spatial) = true;
        const std::vector<float> k = RandomKernel(c.kh, c.kw, unsigned(c.kh * 100 + c.ox));
        Plane dest(c.w, c.h, -1, pad, 7);
        convolvePlanarF(src.planar(), dest.planar(), c.ox, c.oy, k.data(), c.kh, c.kw);
        // From Σ k(i, j) · src(clamp(x + ox + j − kw/2), clamp(y + oy + i − kh/2)).
        double diff = 0;
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                double sum = 0;
                for (int i = 0; i < c.kh; ++i)
                    for (int j = 0; j < c.kw; ++j)
                        sum += double(k[std::size_t(i) * c.kw + j]) *
                               src.at(std::clamp(x + c.ox + j - c.kw / 2, 0, sw - 1),
                                      std::clamp(y + c.oy + i - c.kh / 2, 0, sh - 1));
                diff = std::max(diff, std::fabs(sum - dest.at(x, y)));
            }
        EXPECT_LT(diff, 2e-6) << c.kh << "x" << c.kw << " at " << c.ox << "," << c.oy;
        for (int y = 0; y < c.h; ++y)
            for (int x = c.w; x < c.w + pad; ++x) ASSERT_EQ(dest.at(x, y), 7.0f);
    }
    EXPECT_TRUE(spatial);
    EXPECT_TRUE(fft);
}

TEST(Planar, FftEngineKeepsAFlatPlaneFlat) {
    // Several tiles, a kernel with large taps of both signs (as a Wiener filter has): every
    // output pixel must come out the same, as the spatial sum gives it.
    const int n = 31;
    Plane src(1300, 70, 0.30498f), out(1300, 70);
    std::vector<float> k(std::size_t(n) * n);
    for (std::size_t i = 0; i < k.size(); ++i)
        k[i] = (i % 2 ? 3.0f : -3.0f) + (i == k.size() / 2 ? 1.0f : 0.0f);
    PlanarFftConvolution(k.data(), n, n, 1300, 70).apply(src.planar(), out.planar(), 0, 0);
    EXPECT_TRUE(std::all_of(out.pixels.begin(), out.pixels.end(),
                            [&](float v) { return v == out.pixels.front(); }));
    EXPECT_NEAR(out.pixels.front(), 0.30498f * (1.0f + (n * n % 2 ? -3.0f : 0.0f)), 1e-5);
}

TEST(Planar, RichardsonLucyReadsOnlyTwoKernelSizesAroundTheRegion) {
    // Poisoning the pixels further out changes nothing, and a source cut to that reach gives the
    // same result.
    const int k = 5, reach = 2 * k, x = 30, y = 25, w = 30, h = 20;
    Plane big = RandomPlane(100, 80, 9, 0.1f, 0.9f);
    Plane cut(w + 2 * reach, h + 2 * reach);
    for (int r = 0; r < cut.height; ++r)
        for (int c = 0; c < cut.width; ++c) cut.at(c, r) = big.at(x - reach + c, y - reach + r);
    for (int r = 0; r < big.height; ++r)
        for (int c = 0; c < big.width; ++c)
            if (c < x - reach || c >= x + w + reach || r < y - reach || r >= y + h + reach)
                big.at(c, r) = std::nanf("");
    const std::vector<float> kernel = RandomKernel(k, k, 10);
    Plane fromWhole(w, h), fromCut(w, h);
    richardsonLucyPlanarF(big.planar(), fromWhole.planar(), x, y, kernel.data(), k, k, 15);
    richardsonLucyPlanarF(cut.planar(), fromCut.planar(), reach, reach, kernel.data(), k, k, 15);
    for (std::size_t n = 0; n < fromWhole.pixels.size(); ++n) {
        ASSERT_TRUE(std::isfinite(fromWhole.pixels[n])) << n;
        EXPECT_EQ(fromWhole.pixels[n], fromCut.pixels[n]) << n;
    }
}
