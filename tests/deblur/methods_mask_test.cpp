// Edge and texture masks against a direct evaluation of their definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "DeblurTestSupport.h"
#include "Dispatch.h"
#include "Image.h"
#include "ImageProcess.h"

using namespace velkaro;

namespace {

ImageRef TestPicture(int w, int h, unsigned seed) {
    return deblurtest::testPicture(w, h, seed).asImage();
}

// The region of `src` copied into a new w × h image (what a method would hand over).
ImageRef Crop(const ImageRef& src, int x, int y, int w, int h) {
    return CropImage(CImage(src), x, y, w, h).asImage();
}

// The mask computed straight from its definition (box sums pixel by pixel, the texture deviation
// by the two-pass single-precision formula): the weight of the deblurred value at each pixel and
// the grey level show-mask mode draws.
struct Mask {
    std::vector<float> weight;
    std::vector<int> grey;
};
Mask ReferenceMask(const ImageRef& src, int x, int y, int w, int h, int type, float radius,
                   float crudeness) {
    const int iw = src->width(), ih = src->height();
    auto P = [&](int c, int u, int v) {
        return int(
            src->pixels()[(std::clamp(v, 0, ih - 1) * iw + std::clamp(u, 0, iw - 1)) * 4 + c]);
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
    Mask mask{std::vector<float>(strength.size()), std::vector<int>(strength.size())};
    for (std::size_t k = 0; k < strength.size(); ++k) {
        const float v = largest > 0 ? strength[k] / largest : 0.0f;
        if (type == 2) {
            mask.weight[k] = v;
            mask.grey[k] = int(v * 255.0f);
        } else {
            const double a = std::atan((double(v) + 0.25 - crudeness) * 40) / 3 + 0.5;
            mask.weight[k] = float(std::clamp(a, 0.0, 1.0));
            mask.grey[k] = a < 0 ? 0 : (a > 1 ? 255 : int(a * 255));
        }
    }
    return mask;
}

std::vector<int> Channel(const ImageRef& img, int c) {
    std::vector<int> out(std::size_t(img->width()) * img->height());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = img->pixels()[k * 4 + c];
    return out;
}

}  // namespace

TEST(CreateMask, ShowMaskAndBlendFollowTheDefinition) {
    // Opacity −1 shows the mask: its grey level in every colour. Otherwise d · (1 − t) + s · t with
    // t = (1 − weight) · opacity, opacity at most 1; an opacity of 0 or less changes nothing.
    const auto picture = TestPicture(61, 47, 7),
               flat = deblurtest::uniformPicture(61, 47, 120, 130, 140).asImage();
    struct Case {
        int type;
        float radius, crudeness, opacity;
        int x, y, w, h;
        bool flat;
    };
    // Radii 0.4 → 1, 2.49 → 2, 2.5 → 3; regions in the middle and against every border, one
    // taller than the band of rows a task handles; flat regions, which have no strength at all.
    const Case cases[] = {
        {0, 0.4f, 0.5f, -1, 5, 6, 30, 20, false},     {0, 2.49f, 0.3f, -1, 0, 0, 61, 47, false},
        {1, 2.5f, 0.5f, -1, 0, 10, 25, 37, false},    {1, 0.4f, 0.0f, -1, 3, 3, 1, 1, false},
        {2, 2.0f, 0.2f, -1, 0, 0, 61, 47, false},     {2, 5.0f, 0.2f, -1, 10, 5, 40, 40, false},
        {3, 1.5f, 0.9f, -1, 12, 12, 20, 20, false},   {0, 2.0f, 0.25f, -1, 5, 5, 20, 20, true},
        {1, 2.0f, 0.25f, -1, 5, 5, 20, 20, true},     {2, 2.0f, 0.25f, -1, 5, 5, 20, 20, true},
        {0, 2.0f, 0.4f, 0.8f, 10, 8, 30, 25, false},  {1, 2.0f, 0.4f, 1.0f, 10, 8, 30, 25, false},
        {2, 2.0f, 0.4f, 0.5f, 10, 8, 30, 25, false},  {2, 2.0f, 0.4f, 1.7f, 10, 8, 30, 25, true},
        {2, 2.0f, 0.4f, 0.5f, 10, 8, 30, 25, true},   {0, 2.0f, 0.4f, 0.0f, 10, 8, 30, 25, false},
        {1, 2.0f, 0.4f, -0.5f, 10, 8, 30, 25, false},
    };
    int priority = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " r " << c.radius << " opacity "
                                        << c.opacity << " " << c.w << "x" << c.h);
        const auto& src = c.flat ? flat : picture;
        auto before = Image::create(c.w, c.h);  // the deblurred region: any opaque colours
        for (std::size_t k = 0; k < std::size_t(c.w) * c.h * 4; ++k)
            before->pixels()[k] = std::uint8_t(k % 4 ? k * 7 : 255);
        auto dst = before->copy();
        CreateMask(src, dst, c.x, c.y, c.w, c.h, c.type, priority ^= 1, c.radius, c.opacity,
                   c.crudeness);
        const Mask want = ReferenceMask(src, c.x, c.y, c.w, c.h, c.type, c.radius, c.crudeness);
        const float opacity = std::clamp(c.opacity, 0.0f, 1.0f);
        int worst = 0;
        for (int k = 0; k < c.w * c.h; ++k)
            for (int ch = 0; ch < 4; ++ch) {
                const float t = (1.0f - want.weight[k]) * opacity;
                const int d = before->pixels()[k * 4 + ch];
                const int s = src->pixels()[((c.y + k / c.w) * 61 + c.x + k % c.w) * 4 + ch];
                const int expected = ch == 0           ? 255
                                     : c.opacity == -1 ? want.grey[k]
                                                       : int(float(d) * (1.0f - t) + float(s) * t);
                worst = std::max(worst, std::abs(dst->pixels()[k * 4 + ch] - expected));
            }
        EXPECT_LE(worst, c.opacity == -1 ? 0 : 1);
    }
    // A missing source or destination; the image masked with itself, blended and shown.
    const auto deblurred = Image::create(30, 25);
    auto dst = deblurred->copy();
    CreateMask(nullptr, dst, 10, 8, 30, 25, 2, 0, 1.0f, 1.0f, 0.2f);
    EXPECT_EQ(*dst->data(), *deblurred->data());
    CreateMask(picture, nullptr, 10, 8, 30, 25, 2, 0, 1.0f, 1.0f, 0.2f);
    auto img = TestPicture(20, 10, 1);
    CreateMask(img, img, 0, 0, 20, 10, 1, 0, 1.0f, 1.0f, 0.5f);
    EXPECT_EQ(*img->data(), *TestPicture(20, 10, 1)->data());
    CreateMask(img, img, 0, 0, 20, 10, 1, 0, 1.0f, -1, 0.5f);  // show mask of itself
    EXPECT_EQ(Channel(img, 1),
              ReferenceMask(TestPicture(20, 10, 1), 0, 0, 20, 10, 1, 1.0f, 0.5f).grey);
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
    dispatchApply(8, [&](std::size_t k) { mask(together, int(k)); });
    for (int k = 0; k < 8; ++k) {
        mask(alone, k);
        EXPECT_EQ(*together[k]->data(), *alone[k]->data()) << k;
    }
}
