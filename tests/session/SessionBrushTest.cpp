// The brush and apply-all.

#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "SessionTestSupport.h"

using namespace velkaro;

namespace {

constexpr int W = 64, H = 48;

ImageRef uniform(int r, int g, int b, int w = W, int h = H) {
    ImageRef image = Image::create(w, h);
    for (int i = 0; i < w * h; ++i) {
        std::uint8_t* p = image->pixels() + i * 4;
        p[0] = 255, p[1] = std::uint8_t(r), p[2] = std::uint8_t(g), p[3] = std::uint8_t(b);
    }
    return image;
}

std::array<int, 4> box(const Rect& r) {
    return {int(r.x), int(r.y), int(r.width), int(r.height)};
}

class SessionBrush : public ::testing::Test {
  protected:
    void SetUp() override { session.loadDecodedImage(uniform(100, 40, 250)); }
    const std::uint8_t* pixel(int x, int y) {
        return session.reconstructed()->pixels() + (std::size_t(y) * W + x) * 4;
    }
    ImageRef composite() { return session.reconstructed()->asImage()->copy(); }
    Session session;
    ImageRef source = uniform(200, 240, 10);
    Rect changed;
};

}  // namespace

TEST_F(SessionBrush, ADabBlendsInsideTheDiscOnly) {
    session.startBrush();
    session.applyBrush(source.get(), 20.0f, 0.5f, 30, 24, &changed);
    EXPECT_EQ(box(changed), (std::array<int, 4>{20, 14, 21, 21}));
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double d = std::hypot(x - 30, y - 24);
            const std::uint8_t* p = pixel(x, y);
            ASSERT_EQ(p[0], 255);  // alpha untouched
            if (d > 11 || std::abs(x - 30) >= 11 || std::abs(y - 24) >= 11) {
                ASSERT_TRUE(p[1] == 100 && p[2] == 40 && p[3] == 250) << x << "," << y;
            } else if (d < 9) {  // weight = the opacity: the average of base and source
                ASSERT_TRUE(std::abs(p[1] - 150) <= 1 && std::abs(p[2] - 140) <= 1 &&
                            std::abs(p[3] - 130) <= 1)
                    << x << "," << y;
            }
        }
    // At the edges the disc clips; the corner's centre holds the opacity (100 + 0.8 × 100) and
    // nothing outside the disc's quarter changes.
    session.applyBrush(source.get(), 20.0f, 0.8f, 0, 0, &changed);
    EXPECT_EQ(box(changed), (std::array<int, 4>{0, 0, 11, 11}));
    EXPECT_NEAR(pixel(0, 0)[1], 180, 1);
    for (auto [x, y] : {std::pair{11, 0}, {0, 11}, {10, 10}}) EXPECT_EQ(pixel(x, y)[1], 100);
    session.applyBrush(source.get(), 20.0f, 0.8f, W - 1, H - 1, &changed);
    EXPECT_EQ(box(changed), (std::array<int, 4>{W - 11, H - 11, 11, 11}));
    session.endBrush();
}

TEST_F(SessionBrush, DabsNeverCompoundWithinAStroke) {
    session.startBrush();
    session.applyBrush(source.get(), 15.0f, 0.5f, 20, 20, nullptr);
    const ImageRef once = composite();
    for (int i = 0; i < 9; ++i) session.applyBrush(source.get(), 15.0f, 0.5f, 20, 20, nullptr);
    EXPECT_TRUE(samePixels(composite(), once));
    // A stronger dab raises the weight; a weaker one does not lower it.
    session.applyBrush(source.get(), 15.0f, 0.9f, 20, 20, nullptr);
    EXPECT_NEAR(pixel(20, 20)[1], 190, 1);
    session.applyBrush(source.get(), 15.0f, 0.1f, 20, 20, nullptr);
    EXPECT_NEAR(pixel(20, 20)[1], 190, 1);
    // A new stroke blends from the current composite: 190 halfway to 200.
    session.startBrush();
    session.applyBrush(source.get(), 15.0f, 0.5f, 20, 20, nullptr);
    EXPECT_NEAR(pixel(20, 20)[1], 195, 1);
}

TEST_F(SessionBrush, NothingHappensOutsideAStrokeOrWithoutASuitableSourceAndApplyAllReplaces) {
    const ImageRef before = composite();
    session.applyBrush(source.get(), 20.0f, 1.0f, 30, 24, nullptr);  // no stroke open
    session.startBrush();
    session.applyBrush(nullptr, 20.0f, 1.0f, 30, 24, nullptr);
    session.applyBrush(source.get(), 0.0f, 1.0f, 30, 24, nullptr);                   // size 0
    session.applyBrush(uniform(0, 0, 0, 10, 10).get(), 20.0f, 1.0f, 5, 5, nullptr);  // other size
    session.endBrush();
    session.applyBrush(source.get(), 20.0f, 1.0f, 30, 24, nullptr);  // closed again
    EXPECT_TRUE(samePixels(composite(), before));

    Session empty;
    empty.startBrush();
    empty.applyBrush(source.get(), 20.0f, 1.0f, 3, 3, nullptr);
    empty.applyAll(source);
    EXPECT_EQ(empty.reconstructed(), nullptr);

    // Apply-all replaces the composite.
    ImageRef candidate = Image::create(W, H);
    for (int i = 0; i < W * H * 4; ++i) candidate->pixels()[i] = std::uint8_t(i % 4 ? i * 31 : 255);
    session.applyAll(candidate);
    EXPECT_TRUE(samePixels(composite(), candidate));
}
