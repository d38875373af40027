#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "Image.h"
#include "ImageProcess.h"
#include "ImageTestSupport.h"

using testsupport::randomImage;

TEST(Image, NewImageIsTransparentBlackNewCImageIsOpaqueWhite) {
    Image image(3, 2);
    ASSERT_EQ(image.data()->size(), 24u);
    for (std::uint8_t byte : *image.data()) EXPECT_EQ(byte, 0);
    CImage cimage(3, 2);
    EXPECT_EQ(cimage.width(), 3);
    EXPECT_EQ(cimage.height(), 2);
    const ImageRef owner = cimage.asImage();
    ASSERT_EQ(owner->data()->size(), 24u);
    for (std::uint8_t byte : *owner->data()) EXPECT_EQ(byte, 255);
    EXPECT_EQ(owner->extent().width, 3);
    EXPECT_EQ(owner->extent().height, 2);
}

TEST(Image, CopyIsDeepCImageSharesAndKeepsAlive) {
    ImageRef image = randomImage(4, 4, 1);
    ImageRef copy = image->copy();
    EXPECT_NE(copy->pixels(), image->pixels());
    EXPECT_EQ(std::memcmp(copy->pixels(), image->pixels(), 64), 0);
    copy->pixels()[5] ^= 0xFF;
    EXPECT_NE(copy->pixels()[5], image->pixels()[5]);

    std::weak_ptr<Image> watch = image;
    CImage view(image);
    EXPECT_EQ(view.pixels(), image->pixels());
    EXPECT_EQ(view.asImage(), image);
    image.reset();
    EXPECT_FALSE(watch.expired());  // the view holds its owner
    view = CImage();
    EXPECT_TRUE(watch.expired());
}

TEST(Image, CopyFromCopiesAllBytes) {
    CImage src(randomImage(5, 3, 2));
    CImage dst(5, 3);
    dst.copyFrom(src);
    EXPECT_EQ(std::memcmp(dst.pixels(), src.pixels(), 5 * 3 * 4), 0);
    EXPECT_NE(dst.pixels(), src.pixels());
}

TEST(ImageDeathTest, SizeMismatchAndMissingImageStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CImage a(4, 3);
    CImage wider(5, 3);
    CImage taller(4, 4);
    EXPECT_DEATH(a.copyFrom(wider), "src\\.width\\(\\) == width\\(\\)");
    EXPECT_DEATH(a.copyFrom(taller), "src\\.height\\(\\) == height\\(\\)");
    CImage empty;
    EXPECT_DEATH(empty.asImage(), "Check failed: \"mImage\"");
}

TEST(Thumbnail, SizesFollowTheLongerSide) {
    struct Case {
        int w, h, tw, th;
    } cases[] = {{100, 50, 100, 50},    {1000, 500, 256, 128},  {300, 1000, 76, 256},
                 {4000, 3000, 256, 192}, {257, 256, 256, 255}, {256, 256, 256, 256}};
    for (const Case& c : cases) {
        int tw = 0, th = 0;
        ThumbnailSize(c.w, c.h, tw, th);
        EXPECT_EQ(tw, c.tw) << c.w << "x" << c.h;
        EXPECT_EQ(th, c.th) << c.w << "x" << c.h;
        const ImageRef thumbnail = Image(c.w, c.h).thumbnail();
        EXPECT_EQ(thumbnail->width(), c.tw);
        EXPECT_EQ(thumbnail->height(), c.th);
    }
}

TEST(Thumbnail, HalvingAveragesTwoByTwoBlocksInPlace) {
    const ImageRef image = randomImage(512, 300, 3);
    const ImageRef thumbnail = image->thumbnail();
    ASSERT_EQ(thumbnail->width(), 256);
    ASSERT_EQ(thumbnail->height(), 150);
    int worst = 0;
    for (int y = 0; y < 150; ++y) {
        for (int x = 0; x < 256; ++x) {
            for (int c = 0; c < 4; ++c) {  // byte order kept, alpha included
                int sum = 0;
                for (int dy = 0; dy < 2; ++dy) {
                    for (int dx = 0; dx < 2; ++dx) {
                        sum += testsupport::pixelAt(*image, 2 * x + dx, 2 * y + dy)[c];
                    }
                }
                const int got = testsupport::pixelAt(*thumbnail, x, y)[c];
                worst = std::max(worst, std::abs(got * 4 - sum));
            }
        }
    }
    EXPECT_LE(worst, 4);  // within one level of the exact mean
}

TEST(Thumbnail, SectionShowsOnlyItsRectangle) {
    auto image = Image::create(600, 400);
    for (int y = 0; y < 400; ++y) {
        for (int x = 0; x < 600; ++x) {
            std::uint8_t* p = image->pixels() + (std::size_t(y) * 600 + x) * 4;
            const bool inside = x >= 300 && y >= 100;
            p[0] = 255;
            p[1] = inside ? 10 : 200;
            p[2] = inside ? 20 : 200;
            p[3] = inside ? 250 : 200;
        }
    }
    const ImageRef thumbnail = image->thumbnailForSection({300, 100, 300, 300});
    ASSERT_EQ(thumbnail->width(), 256);
    ASSERT_EQ(thumbnail->height(), 256);
    for (int i = 0; i < 256 * 256; ++i) {
        const std::uint8_t* p = thumbnail->pixels() + 4 * i;
        ASSERT_EQ(p[0], 255);
        ASSERT_EQ(p[1], 10);
        ASSERT_EQ(p[2], 20);
        ASSERT_EQ(p[3], 250);
    }
}

TEST(ForceOpaque, SetsOnlyAlpha) {
    auto image = randomImage(333, 517, 4);
    for (int i = 0; i < 333 * 517; ++i) image->pixels()[4 * i] = 0;
    const ImageRef before = image->copy();
    ForceOpaque(image);
    for (int i = 0; i < 333 * 517; ++i) {
        const std::uint8_t* p = image->pixels() + 4 * i;
        const std::uint8_t* q = before->pixels() + 4 * i;
        ASSERT_EQ(p[0], 255) << i;
        ASSERT_EQ(p[1], q[1]);
        ASSERT_EQ(p[2], q[2]);
        ASSERT_EQ(p[3], q[3]);
    }
    auto single = Image::create(1, 1);
    ForceOpaque(single);
    EXPECT_EQ(single->pixels()[0], 255);
    EXPECT_EQ(single->pixels()[1], 0);
}

TEST(ForceOpaqueDeathTest, NullImageStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ForceOpaque(nullptr), "Check failed: \"i\"");
}
