#include "Planar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

struct Plane {
    int width, height;
    std::vector<float> pixels;
    Plane(int w, int h, float v = 0) : width(w), height(h), pixels(std::size_t(w) * h, v) {}
    float& at(int x, int y) { return pixels[std::size_t(y) * width + x]; }
    float at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
    PlanarF planar() { return {pixels.data(), width, height, std::size_t(width) * sizeof(float)}; }
};

Plane RandomPlane(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    Plane p(w, h);
    for (float& v : p.pixels) v = u(rng);
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

// Direct double-precision reference: dest(x, y) = Σ k(i, j) · src(clamp(x + ox + j − kw/2),
// clamp(y + oy + i − kh/2)).
std::vector<double> ReferenceConvolve(const std::vector<double>& src, int sw, int sh, int ox,
                                      int oy, int w, int h, const std::vector<double>& k, int kh,
                                      int kw) {
    std::vector<double> out(std::size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            for (int i = 0; i < kh; ++i)
                for (int j = 0; j < kw; ++j) {
                    const int xx = std::clamp(x + ox + j - kw / 2, 0, sw - 1);
                    const int yy = std::clamp(y + oy + i - kh / 2, 0, sh - 1);
                    s += k[std::size_t(i) * kw + j] * src[std::size_t(yy) * sw + xx];
                }
            out[std::size_t(y) * w + x] = s;
        }
    return out;
}

// Richardson–Lucy on a whole plane in double precision, edge-extended, kernel flipped for the
// correction (Richardson 1972, Lucy 1974).
std::vector<double> ReferenceRichardsonLucy(const std::vector<double>& observed, int w, int h,
                                            const std::vector<double>& k, int kh, int kw,
                                            int iterations) {
    std::vector<double> flipped(k.rbegin(), k.rend());
    std::vector<double> estimate = observed;
    for (int it = 0; it < iterations; ++it) {
        std::vector<double> q = ReferenceConvolve(estimate, w, h, 0, 0, w, h, k, kh, kw);
        for (std::size_t n = 0; n < q.size(); ++n) q[n] = observed[n] / std::max(q[n], 1e-12);
        const std::vector<double> c = ReferenceConvolve(q, w, h, 0, 0, w, h, flipped, kh, kw);
        for (std::size_t n = 0; n < q.size(); ++n) estimate[n] *= c[n];
    }
    return estimate;
}

std::vector<double> ToDouble(const std::vector<float>& v) {
    return {v.begin(), v.end()};
}

}  // namespace

TEST(Planar, ConvolutionOfARegionEqualsClampedReference) {
    const int sw = 61, sh = 47;
    Plane src = RandomPlane(sw, sh, 1);
    const std::vector<double> srcD = ToDouble(src.pixels);
    struct Case {
        int kh, kw, ox, oy, w, h;
    };
    const Case cases[] = {
        {3, 3, 0, 0, sw, sh},   {5, 5, 10, 7, 20, 15},  {7, 3, 0, 0, 13, 9},
        {1, 1, 5, 5, 3, 3},     {9, 9, 52, 38, 9, 9},   {15, 15, 30, 20, 31, 27},
        {31, 31, 3, 4, 50, 40}, {31, 31, 0, 0, sw, sh},
    };
    for (const Case& c : cases) {
        const std::vector<float> k = RandomKernel(c.kh, c.kw, unsigned(c.kh * 100 + c.ox));
        Plane dest(c.w, c.h, -1);
        convolvePlanarF(src.planar(), dest.planar(), c.ox, c.oy, k.data(), c.kh, c.kw);
        const std::vector<double> expected =
            ReferenceConvolve(srcD, sw, sh, c.ox, c.oy, c.w, c.h, ToDouble(k), c.kh, c.kw);
        double diff = 0;
        for (std::size_t n = 0; n < expected.size(); ++n)
            diff = std::max(diff, std::fabs(expected[n] - dest.pixels[n]));
        EXPECT_LT(diff, 2e-6) << c.kh << "x" << c.kw << " at " << c.ox << "," << c.oy;
    }
}

TEST(Planar, LargeKernelsEqualTheReferenceWhicheverEngineRuns) {
    // Sizes where a transform engine pays: the result must not depend on the engine.
    const int sw = 230, sh = 190;
    Plane src = RandomPlane(sw, sh, 11);
    const std::vector<double> srcD = ToDouble(src.pixels);
    struct Case {
        int k, ox, oy, w, h;
    };
    for (const Case& c :
         {Case{31, 20, 15, 180, 150}, Case{21, 0, 0, sw, sh}, Case{41, 100, 90, 130, 100}}) {
        const std::vector<float> k = RandomKernel(c.k, c.k, unsigned(c.k));
        Plane dest(c.w, c.h, -1);
        convolvePlanarF(src.planar(), dest.planar(), c.ox, c.oy, k.data(), c.k, c.k);
        const std::vector<double> expected =
            ReferenceConvolve(srcD, sw, sh, c.ox, c.oy, c.w, c.h, ToDouble(k), c.k, c.k);
        double diff = 0;
        for (std::size_t n = 0; n < expected.size(); ++n)
            diff = std::max(diff, std::fabs(expected[n] - dest.pixels[n]));
        EXPECT_LT(diff, 2e-6) << c.k << " at " << c.ox << "," << c.oy;
    }
    // Richardson–Lucy with a large kernel over the whole source.
    Plane observed = RandomPlane(120, 100, 12);
    for (float& v : observed.pixels) v = 0.2f + 0.6f * v;
    const std::vector<float> k = RandomKernel(31, 31, 13);
    const std::vector<double> expected =
        ReferenceRichardsonLucy(ToDouble(observed.pixels), 120, 100, ToDouble(k), 31, 31, 5);
    Plane estimate(120, 100);
    richardsonLucyPlanarF(observed.planar(), estimate.planar(), 0, 0, k.data(), 31, 31, 5);
    for (std::size_t n = 0; n < expected.size(); ++n)
        ASSERT_NEAR(estimate.pixels[n], expected[n], 1e-4 * expected[n]) << n;
}

TEST(Planar, ConvolutionHonoursRowStrides) {
    // A source with padding at the end of every row and a destination with its own padding.
    const int sw = 20, sh = 12, pad = 5;
    std::vector<float> srcMem(std::size_t(sw + pad) * sh, 1e30f);
    Plane plain = RandomPlane(sw, sh, 3);
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x) srcMem[std::size_t(y) * (sw + pad) + x] = plain.at(x, y);
    const PlanarF src{srcMem.data(), sw, sh, std::size_t(sw + pad) * sizeof(float)};
    std::vector<float> destMem(std::size_t(10 + pad) * 6, 7.0f);
    const PlanarF dest{destMem.data(), 10, 6, std::size_t(10 + pad) * sizeof(float)};
    const std::vector<float> k = RandomKernel(5, 5, 4);
    convolvePlanarF(src, dest, 8, 5, k.data(), 5, 5);
    const std::vector<double> expected =
        ReferenceConvolve(ToDouble(plain.pixels), sw, sh, 8, 5, 10, 6, ToDouble(k), 5, 5);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 10; ++x)
            EXPECT_NEAR(destMem[std::size_t(y) * (10 + pad) + x], expected[y * 10 + x], 2e-6);
        for (int x = 10; x < 10 + pad; ++x)
            EXPECT_EQ(destMem[std::size_t(y) * (10 + pad) + x], 7.0f);
    }
}

TEST(Planar, RichardsonLucyWithOnePixelKernelKeepsTheRegion) {
    Plane src = RandomPlane(40, 30, 5);
    src.at(12, 9) = 0;  // a black pixel stays black and finite
    const float one = 1.0f;
    Plane dest(20, 15);
    richardsonLucyPlanarF(src.planar(), dest.planar(), 7, 6, &one, 1, 1, 20);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x) EXPECT_EQ(dest.at(x, y), src.at(x + 7, y + 6));
}

TEST(Planar, RichardsonLucyOfTheWholeSourceEqualsTheReference) {
    // The destination covers the whole source; then a region whose source starts at the region
    // (the way the deconvolution hands it over): the real pixels below and to the right count,
    // the source's own edge is extended.
    Plane src = RandomPlane(30, 25, 6);
    for (int y = 0; y < 25; ++y)
        for (int x = 0; x < 30; ++x) src.at(x, y) = 0.2f + 0.6f * src.at(x, y);
    const std::vector<float> k = RandomKernel(5, 3, 7);
    const std::vector<double> expected =
        ReferenceRichardsonLucy(ToDouble(src.pixels), 30, 25, ToDouble(k), 5, 3, 10);
    Plane whole(30, 25);
    richardsonLucyPlanarF(src.planar(), whole.planar(), 0, 0, k.data(), 5, 3, 10);
    for (std::size_t n = 0; n < expected.size(); ++n)
        EXPECT_NEAR(whole.pixels[n], expected[n], 1e-4 * expected[n]) << n;

    Plane region(20, 15);
    richardsonLucyPlanarF(src.planar(), region.planar(), 0, 0, k.data(), 5, 3, 10);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x)
            EXPECT_NEAR(region.at(x, y), expected[std::size_t(y) * 30 + x],
                        1e-4 * expected[std::size_t(y) * 30 + x]);
}

TEST(Planar, RichardsonLucyReadsTwoKernelSizesAroundTheRegion) {
    // Pixels further than two kernel sizes from the region are never read: poisoning them
    // changes nothing, and a source cut to that reach gives the same result.
    const int k = 5, reach = 2 * k;
    Plane src = RandomPlane(100, 80, 9);
    for (float& v : src.pixels) v = 0.1f + 0.8f * v;
    const int x = 30, y = 25, w = 30, h = 20;
    Plane cut(w + 2 * reach, h + 2 * reach);
    for (int r = 0; r < cut.height; ++r)
        for (int c = 0; c < cut.width; ++c) cut.at(c, r) = src.at(x - reach + c, y - reach + r);
    for (int r = 0; r < src.height; ++r)
        for (int c = 0; c < src.width; ++c)
            if (c < x - reach || c >= x + w + reach || r < y - reach || r >= y + h + reach)
                src.at(c, r) = std::nanf("");
    const std::vector<float> kernel = RandomKernel(k, k, 10);
    Plane fromWhole(w, h), fromCut(w, h);
    richardsonLucyPlanarF(src.planar(), fromWhole.planar(), x, y, kernel.data(), k, k, 15);
    richardsonLucyPlanarF(cut.planar(), fromCut.planar(), reach, reach, kernel.data(), k, k, 15);
    for (std::size_t n = 0; n < fromWhole.pixels.size(); ++n) {
        ASSERT_TRUE(std::isfinite(fromWhole.pixels[n])) << n;
        EXPECT_EQ(fromWhole.pixels[n], fromCut.pixels[n]) << n;
    }
}

TEST(Planar, RichardsonLucyStaysFiniteOnBlackAreas) {
    // Half black, half white, sharp edge: the guard keeps 0 / 0 out of the iteration, with a
    // small kernel and with one large enough for a transform engine.
    for (int size : {7, 31}) {
        Plane src(120, 100, 0);
        for (int y = 0; y < 100; ++y)
            for (int x = 60; x < 120; ++x) src.at(x, y) = 1;
        const std::vector<float> k = RandomKernel(size, size, 8);
        Plane dest(100, 80);
        richardsonLucyPlanarF(src.planar(), dest.planar(), 10, 10, k.data(), size, size, 40);
        for (float v : dest.pixels) {
            ASSERT_TRUE(std::isfinite(v)) << size;
            EXPECT_GE(v, -1e-6) << size;
        }
        // Black stays black (up to a transform's rounding), white stays bright.
        EXPECT_NEAR(dest.at(2, 40), 0, 1e-6) << size;
        EXPECT_GT(dest.at(98, 40), 0.5) << size;
    }
}

TEST(Planar, RichardsonLucyRecoversABlurredStep) {
    // A step blurred by a kernel whose spectrum has no zeros ([1 4 1] / 6 both ways): the
    // iterations bring the estimate much closer to the step than the observation is.
    const int w = 64, h = 16;
    Plane sharp(w, h, 0.1f);
    for (int y = 0; y < h; ++y)
        for (int x = w / 2; x < w; ++x) sharp.at(x, y) = 0.9f;
    const float t[3] = {1.0f / 6, 4.0f / 6, 1.0f / 6};
    std::vector<float> kernel(9);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) kernel[i * 3 + j] = t[i] * t[j];
    Plane observed(w, h);
    convolvePlanarF(sharp.planar(), observed.planar(), 0, 0, kernel.data(), 3, 3);
    Plane estimate(w, h);
    richardsonLucyPlanarF(observed.planar(), estimate.planar(), 0, 0, kernel.data(), 3, 3, 50);
    double before = 0, after = 0;
    for (std::size_t n = 0; n < sharp.pixels.size(); ++n) {
        before += std::fabs(observed.pixels[n] - sharp.pixels[n]);
        after += std::fabs(estimate.pixels[n] - sharp.pixels[n]);
    }
    EXPECT_LT(after, 0.25 * before);
}
