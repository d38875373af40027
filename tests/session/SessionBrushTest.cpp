// The brush and apply-all.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "Filter.h"
#include "ImageIO.h"
#include "Matrix.h"
#include "SessionTestSupport.h"

namespace {

constexpr int W = 64, H = 48;

ImageRef uniform(int r, int g, int b, int w = W, int h = H) {
    ImageRef image = Image::create(w, h);
    for (int i = 0; i < w * h; ++i) {
        std::uint8_t* p = image->pixels() + i * 4;
        p[0] = 255;
        p[1] = std::uint8_t(r);
        p[2] = std::uint8_t(g);
        p[3] = std::uint8_t(b);
    }
    return image;
}

class SessionBrush : public ::testing::Test {
protected:
    void SetUp() override {
        session.mReconstructedImage = std::make_unique<CImage>(uniform(100, 40, 250));
        source = uniform(200, 240, 10);
    }
    const std::uint8_t* pixel(int x, int y) const {
        return session.mReconstructedImage->pixels() + (std::size_t(y) * W + x) * 4;
    }
    ByteBuffer composite() const {
        const std::uint8_t* p = session.mReconstructedImage->pixels();
        return ByteBuffer(p, p + W * H * 4);
    }
    Session session;
    ImageRef source;
};

}  // namespace

TEST_F(SessionBrush, ADabBlendsInsideTheDiscOnly) {
    session.startBrush();
    Rect changed;
    session.applyBrush(source.get(), 20.0f, 0.5f, 30, 24, &changed);
    EXPECT_EQ(changed.x, 20);
    EXPECT_EQ(changed.y, 14);
    EXPECT_EQ(changed.width, 21);
    EXPECT_EQ(changed.height, 21);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double d = std::hypot(x - 30, y - 24);
            const std::uint8_t* p = pixel(x, y);
            EXPECT_EQ(p[0], 255);  // alpha untouched
            if (std::abs(x - 30) >= 11 || std::abs(y - 24) >= 11 || d > 11) {
                ASSERT_EQ(p[1], 100) << x << "," << y;
                ASSERT_EQ(p[2], 40);
                ASSERT_EQ(p[3], 250);
            } else if (d < 9) {
                // Weight = the opacity, up to rounding: the average of base and source.
                EXPECT_NEAR(p[1], 150, 1) << x << "," << y;
                EXPECT_NEAR(p[2], 140, 1);
                EXPECT_NEAR(p[3], 130, 1);
            }
        }
    session.endBrush();
    EXPECT_EQ(session.mBrushBase, nullptr);
    EXPECT_EQ(session.mBrushWeights, nullptr);
}

TEST_F(SessionBrush, RepeatedDabsNeverExceedOneDabsOpacity) {
    session.startBrush();
    session.applyBrush(source.get(), 15.0f, 0.5f, 20, 20, nullptr);
    const ByteBuffer once = composite();
    for (int i = 0; i < 9; ++i) session.applyBrush(source.get(), 15.0f, 0.5f, 20, 20, nullptr);
    EXPECT_EQ(composite(), once);
    // A stronger dab over it raises the weight; a weaker one does not lower it.
    session.applyBrush(source.get(), 15.0f, 0.9f, 20, 20, nullptr);
    EXPECT_NEAR(pixel(20, 20)[1], 190, 1);
    session.applyBrush(source.get(), 15.0f, 0.1f, 20, 20, nullptr);
    EXPECT_NEAR(pixel(20, 20)[1], 190, 1);
    session.endBrush();
}

TEST_F(SessionBrush, ACornerDabUsesTheLowerRightQuarterOfTheDisc) {
    session.startBrush();
    Rect changed;
    session.applyBrush(source.get(), 20.0f, 0.8f, 0, 0, &changed);
    EXPECT_EQ(changed.x, 0);
    EXPECT_EQ(changed.y, 0);
    EXPECT_EQ(changed.width, 11);
    EXPECT_EQ(changed.height, 11);
    EXPECT_EQ(session.mBrushRect[0], 0);
    EXPECT_EQ(session.mBrushRect[1], 0);
    EXPECT_EQ(session.mBrushRect[2], 11);
    EXPECT_EQ(session.mBrushRect[3], 11);
    // Pixel (px, py) takes kernel cell (py + 10, px + 10), scaled so that a full cell holds the
    // opacity: cell area fraction × π r² × opacity.
    Matrix k(21, 21);
    GenerateFilter(k, 10.0, -1);
    for (int py = 0; py < 11; ++py)
        for (int px = 0; px < 11; ++px) {
            const double expected =
                std::min(k.roData()[(py + 10) * 21 + px + 10] * 100.0 * M_PI * 0.8, 1.0);
            EXPECT_NEAR(session.mBrushWeights[py * W + px], expected, 1e-6) << px << "," << py;
        }
    EXPECT_NEAR(session.mBrushWeights[0], 0.8, 1e-6);
    EXPECT_EQ(session.mBrushWeights[11], 0.0f);
    EXPECT_EQ(session.mBrushWeights[11 * W], 0.0f);
    // A second dab elsewhere grows the box to hold both squares.
    session.applyBrush(source.get(), 6.0f, 0.8f, 40, 30, &changed);
    EXPECT_EQ(changed.x, 37);
    EXPECT_EQ(changed.y, 27);
    EXPECT_EQ(changed.width, 7);
    EXPECT_EQ(changed.height, 7);
    EXPECT_EQ(session.mBrushRect[0], 0);
    EXPECT_EQ(session.mBrushRect[1], 0);
    EXPECT_EQ(session.mBrushRect[2], 44);
    EXPECT_EQ(session.mBrushRect[3], 34);
    // A dab at the far corner clips there.
    session.applyBrush(source.get(), 20.0f, 0.8f, W - 1, H - 1, &changed);
    EXPECT_EQ(changed.x, W - 11);
    EXPECT_EQ(changed.y, H - 11);
    EXPECT_EQ(changed.width, 11);
    EXPECT_EQ(changed.height, 11);
    EXPECT_EQ(session.mBrushRect[2], W);
    EXPECT_EQ(session.mBrushRect[3], H);
}

TEST_F(SessionBrush, NothingHappensOutsideAStrokeOrWithoutASource) {
    const ByteBuffer before = composite();
    session.applyBrush(source.get(), 20.0f, 1.0f, 30, 24, nullptr);  // no stroke open
    EXPECT_EQ(composite(), before);
    session.startBrush();
    session.applyBrush(nullptr, 20.0f, 1.0f, 30, 24, nullptr);
    EXPECT_EQ(composite(), before);
    session.applyBrush(source.get(), 0.0f, 1.0f, 30, 24, nullptr);  // size 0 paints nothing
    EXPECT_EQ(composite(), before);
    ImageRef small = uniform(0, 0, 0, 10, 10);  // another size
    session.applyBrush(small.get(), 20.0f, 1.0f, 5, 5, nullptr);
    EXPECT_EQ(composite(), before);
    session.endBrush();
    session.applyBrush(source.get(), 20.0f, 1.0f, 30, 24, nullptr);  // closed again
    EXPECT_EQ(composite(), before);

    Session empty;
    empty.startBrush();
    EXPECT_EQ(empty.mBrushBase, nullptr);
    empty.applyBrush(source.get(), 20.0f, 1.0f, 3, 3, nullptr);
    empty.applyAll(source);
    EXPECT_EQ(empty.mReconstructedImage, nullptr);
}

TEST_F(SessionBrush, RestartingAStrokeBlendsFromTheCurrentComposite) {
    session.startBrush();
    session.applyBrush(source.get(), 20.0f, 0.5f, 30, 24, nullptr);
    session.startBrush();  // the half-blended pixels are the new base
    session.applyBrush(source.get(), 20.0f, 0.5f, 30, 24, nullptr);
    EXPECT_NEAR(pixel(30, 24)[1], 175, 1);  // 150 halfway to 200
    session.endBrush();
}

TEST_F(SessionBrush, ApplyAllThenSaveWritesTheCandidate) {
    ImageRef candidate = Image::create(W, H);
    for (int i = 0; i < W * H * 4; ++i) candidate->pixels()[i] = std::uint8_t(i % 4 ? i * 31 : 255);
    session.applyAll(candidate);
    EXPECT_EQ(std::memcmp(session.mReconstructedImage->pixels(), candidate->pixels(), W * H * 4), 0);
    const std::string path = testOutputPath("session_apply_all.png");
    ASSERT_TRUE(session.saveReconstructedImage(path, "PNG", -1));
    ImageRef back = ImageIO::sharedInstance().readFromFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::memcmp(back->pixels(), candidate->pixels(), W * H * 4), 0);
}

TEST(SessionBrushDeath, ApplyAllOfAnotherSizeIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Session s;
    s.mReconstructedImage = std::make_unique<CImage>(Image::create(8, 8));
    EXPECT_DEATH(s.applyAll(Image::create(9, 8)), "src.width\\(\\) == width\\(\\)");
    EXPECT_DEATH(s.applyAll(Image::create(8, 7)), "src.height\\(\\) == height\\(\\)");
}
