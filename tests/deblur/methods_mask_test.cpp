// Edge and texture masks against a direct evaluation of their definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "Dispatch.h"
#include "Image.h"
#include "ImageProcess.h"

namespace {

// A photograph-like test picture: smooth gradients, a few hard edges and some noise, opaque.
ImageRef TestPicture(int w, int h, unsigned seed) {
    auto img = Image::create(w, h);
    std::mt19937 rng(seed);
    std::uint8_t* p = img->pixels();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* q = p + (std::size_t(y) * w + x) * 4;
            q[0] = 255;
            const int edge = (x > w / 3 ? 90 : 0) + (y > h / 2 ? 60 : 0);
            q[1] = std::uint8_t(std::clamp(20 + 2 * x + edge + int(rng() % 7), 0, 255));
            q[2] = std::uint8_t(std::clamp(200 - 3 * y + int(rng() % 5), 0, 255));
            q[3] = std::uint8_t(std::clamp((x * y) % 50 + edge / 2, 0, 255));
        }
    return img;
}

ImageRef Uniform(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    auto img = Image::create(w, h);
    const std::uint8_t argb[4] = {255, r, g, b};
    for (int i = 0; i < w * h * 4; i += 4) std::copy_n(argb, 4, img->pixels() + i);
    return img;
}

// The region of `src` copied into a new w × h image (what a method would hand over).
ImageRef Crop(const ImageRef& src, int x, int y, int w, int h) {
    auto out = Image::create(w, h);
    for (int r = 0; r < h; ++r)
        std::copy_n(src->pixels() + (std::size_t(y + r) * src->width() + x) * 4, w * 4,
                    out->pixels() + std::size_t(r) * w * 4);
    return out;
}

// Grey levels of show-mask mode computed straight from the definition: box sums pixel by pixel,
// the texture deviation by the two-pass single-precision formula.
std::vector<int> ReferenceShowMask(const ImageRef& src, int x, int y, int w, int h, int type,
                                   float radius, float crudeness) {
    const int iw = src->width(), ih = src->height();
    auto P = [&](int c, int u, int v) {
        u = std::clamp(u, 0, iw - 1);
        v = std::clamp(v, 0, ih - 1);
        return int(src->pixels()[(std::size_t(v) * iw + u) * 4 + c]);
    };
    crudeness = std::clamp(crudeness, 0.0f, 1.0f);
    const int r = std::max(1, int(std::lround(radius)));
    const int K = type == 1 ? r : 1;
    const float T = crudeness * 20 + 1;
    std::vector<float> strength(std::size_t(w) * h);
    float largest = 0;
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const int X = x + i, Y = y + j;
            float s = 0;
            if (type == 2) {
                const float n = float((2 * r + 1) * (2 * r + 1));
                float best = 0;
                for (int c = 1; c <= 3; ++c) {
                    float sum = 0;
                    for (int d = -r; d <= r; ++d)
                        for (int e = -r; e <= r; ++e) sum += float(P(c, X + e, Y + d));
                    const float mean = sum / n;
                    float sq = 0;
                    for (int d = -r; d <= r; ++d)
                        for (int e = -r; e <= r; ++e) {
                            const float diff = mean - float(P(c, X + e, Y + d));
                            sq += diff * diff;
                        }
                    best = std::max(best, std::sqrt(sq / n));
                }
                s = T < best ? 1.0f : 0.0f;
            } else {
                for (int c = 1; c <= 3; ++c) {
                    long gx = 0, gy = 0;
                    for (int k = 0; k < K; ++k)
                        for (int d = -r; d <= r; ++d) {
                            gx += P(c, X - r + k, Y + d) - P(c, X + r - k, Y + d);
                            gy += P(c, X + d, Y - r + k) - P(c, X + d, Y + r - k);
                        }
                    s = std::max(s, std::sqrt(float(gx) * float(gx) + float(gy) * float(gy)));
                }
            }
            strength[std::size_t(j) * w + i] = s;
            largest = std::max(largest, s);
        }
    std::vector<int> grey(strength.size());
    for (std::size_t k = 0; k < grey.size(); ++k) {
        const float v = largest > 0 ? strength[k] / largest : 0.0f;
        if (type == 2) {
            grey[k] = int(v * 255.0f);
        } else {
            const double a = std::atan((double(v) + 0.25 - crudeness) * 40) / 3 + 0.5;
            grey[k] = a < 0 ? 0 : (a > 1 ? 255 : int(a * 255));
        }
    }
    return grey;
}

std::vector<int> Channel(const ImageRef& img, int c) {
    std::vector<int> out(std::size_t(img->width()) * img->height());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = img->pixels()[k * 4 + c];
    return out;
}

}  // namespace

TEST(CreateMask, ShowMaskMatchesTheDefinition) {
    const auto src = TestPicture(61, 47, 7);
    struct Case {
        int type;
        float radius, crudeness;
        int x, y, w, h;
    };
    // Radii 0.4 → 1, 2.49 → 2, 2.5 → 3; regions in the middle and against every border, one
    // taller than the band of rows a task handles.
    const Case cases[] = {
        {0, 0.4f, 0.5f, 5, 6, 30, 20},   {0, 2.49f, 0.3f, 0, 0, 61, 47},
        {1, 2.5f, 0.5f, 0, 10, 25, 37},  {1, 0.4f, 0.0f, 3, 3, 1, 1},
        {2, 2.0f, 0.2f, 0, 0, 61, 47},   {2, 5.0f, 0.2f, 10, 5, 40, 40},
        {3, 1.5f, 0.9f, 12, 12, 20, 20},
    };
    for (const Case& c : cases) {
        auto dst = Crop(src, c.x, c.y, c.w, c.h);
        CreateMask(src, dst, c.x, c.y, c.w, c.h, c.type, 1, c.radius, -1, c.crudeness);
        const auto want = ReferenceShowMask(src, c.x, c.y, c.w, c.h, c.type, c.radius, c.crudeness);
        EXPECT_EQ(Channel(dst, 1), want) << "type " << c.type << " radius " << c.radius;
        EXPECT_EQ(Channel(dst, 2), want);
        EXPECT_EQ(Channel(dst, 3), want);
        EXPECT_EQ(Channel(dst, 0), std::vector<int>(std::size_t(c.w) * c.h, 255));
    }
}

TEST(CreateMask, FlatRegionHasADefinedMask) {
    const auto src = Uniform(30, 30, 120, 130, 140);
    for (int type : {0, 1, 2}) {
        auto dst = Crop(src, 5, 5, 20, 20);
        CreateMask(src, dst, 5, 5, 20, 20, type, 0, 2.0f, -1, 0.25f);
        // Normalised strengths are all 0: weight 0.5 for the edge types at crudeness 0.25
        // (grey 127), nothing marked for the texture type.
        const int want = type == 2 ? 0 : 127;
        EXPECT_EQ(Channel(dst, 1), std::vector<int>(400, want)) << type;
    }
}

TEST(CreateMask, BlendWithZeroWeight) {
    // A flat source gives weight 0 everywhere with the texture mask: opacity 1 (or more) restores
    // the source exactly, 0.5 averages, 0 or less and a missing image change nothing.
    const auto src = Uniform(16, 12, 200, 100, 7);
    const auto deblurred = Uniform(10, 8, 50, 251, 0);
    auto blend = [&](const ImageRef& from, float opacity) {
        auto dst = deblurred->copy();
        CreateMask(from, dst, 3, 2, 10, 8, 2, 0, 1.0f, opacity, 0.2f);
        return *dst->data();
    };
    EXPECT_EQ(blend(src, 1.0f), *Uniform(10, 8, 200, 100, 7)->data());
    EXPECT_EQ(blend(src, 1.7f), *Uniform(10, 8, 200, 100, 7)->data());
    EXPECT_EQ(blend(src, 0.5f), *Uniform(10, 8, 125, 175, 3)->data());  // halves truncated
    for (float opacity : {0.0f, -0.5f, -2.0f})
        EXPECT_EQ(blend(src, opacity), *deblurred->data()) << opacity;
    EXPECT_EQ(blend(nullptr, 1.0f), *deblurred->data());
    CreateMask(src, nullptr, 3, 2, 10, 8, 2, 0, 1.0f, 1.0f, 0.2f);
}

TEST(CreateMask, BlendFollowsTheEdgeWeight) {
    const auto src = TestPicture(50, 40, 3);
    auto deblurred = Image::create(50, 40);
    for (std::size_t k = 0; k < 50 * 40 * 4; ++k) deblurred->pixels()[k] = std::uint8_t(k * 7);
    auto dst = deblurred->copy();
    CreateMask(src, dst, 0, 0, 50, 40, 0, 0, 2.0f, 0.8f, 0.4f);
    // The weight from the show-mask reference's curve bounds the blend.
    const auto grey = ReferenceShowMask(src, 0, 0, 50, 40, 0, 2.0f, 0.4f);
    int differing = 0;
    for (int k = 0; k < 50 * 40; ++k)
        for (int c = 1; c < 4; ++c) {
            const int d = deblurred->pixels()[k * 4 + c], s = src->pixels()[k * 4 + c];
            const int got = dst->pixels()[k * 4 + c];
            EXPECT_GE(got, std::min(d, s));
            EXPECT_LE(got, std::max(d, s));
            // Full weight keeps the deblurred value, low weight pulls towards the source.
            EXPECT_TRUE(grey[k] < 255 || std::abs(got - d) <= std::abs(s - d) / 5 + 1) << k;
            EXPECT_TRUE(grey[k] >= 10 || std::abs(got - s) <= std::abs(s - d) / 4 + 1) << k;
            differing += got != d;
        }
    EXPECT_GT(differing, 0);
}

TEST(CreateMask, SameImageNeedsTheWholeRegion) {
    auto img = TestPicture(20, 10, 1);
    const auto before = *img->data();
    CreateMask(img, img, 0, 0, 20, 10, 1, 0, 1.0f, 1.0f, 0.5f);  // blending with itself: no change
    EXPECT_EQ(*img->data(), before);
    CreateMask(img, img, 0, 0, 20, 10, 1, 0, 1.0f, -1, 0.5f);
    EXPECT_EQ(Channel(img, 1),
              ReferenceShowMask(TestPicture(20, 10, 1), 0, 0, 20, 10, 1, 1.0f, 0.5f));
}

TEST(CreateMask, ConcurrentCallsOnOneSource) {
    // A full deblur and preview fetches may mask at the same time from the same original.
    const auto src = TestPicture(90, 70, 5);
    const int types[] = {0, 1, 2, 0, 1, 2, 1, 0};
    std::vector<ImageRef> together, alone;
    for (int k = 0; k < 8; ++k) {
        together.push_back(Crop(src, k, k, 60, 50));
        alone.push_back(Crop(src, k, k, 60, 50));
    }
    auto mask = [&](std::vector<ImageRef>& dst, int k) {
        CreateMask(src, dst[k], k, k, 60, 50, types[k], k % 2, 1.0f + float(k),
                   k < 4 ? -1.0f : 0.7f, 0.3f);
    };
    dispatchApply(8, DispatchPriority::Default, [&](std::size_t k) { mask(together, int(k)); });
    for (int k = 0; k < 8; ++k) {
        mask(alone, k);
        EXPECT_EQ(*together[k]->data(), *alone[k]->data()) << k;
    }
}

TEST(CreateMaskDeathTest, GeometryIsChecked) {
    const auto src = TestPicture(20, 10, 1);
    auto dst = Image::create(5, 5);
    EXPECT_DEATH(CreateMask(src, dst, 0, 0, 6, 5, 0, 0, 1, 1, 0), "w == \\[dst width\\]");
    EXPECT_DEATH(CreateMask(src, dst, 0, 0, 5, 4, 0, 0, 1, 1, 0), "h == \\[dst height\\]");
    EXPECT_DEATH(CreateMask(src, dst, -1, 0, 5, 5, 0, 0, 1, 1, 0), "x >= 0");
    EXPECT_DEATH(CreateMask(src, dst, 16, 0, 5, 5, 0, 0, 1, 1, 0), "x \\+ w <= iw");
    EXPECT_DEATH(CreateMask(src, dst, 0, 6, 5, 5, 0, 0, 1, 1, 0), "y \\+ h <= ih");
}
