#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "Image.h"
#include "ImageProcess.h"
#include "ImageTestSupport.h"

using testsupport::randomImage;

TEST(Image, NewImageIsTransparentBlackNewCImageIsOpaqueWhite) {
    Image image(3, 2);
    EXPECT_EQ(*image.data(), ByteBuffer(24, 0));
    CImage cimage(3, 2);
    const ImageRef owner = cimage.asImage();
    EXPECT_EQ(*owner->data(), ByteBuffer(24, 255));
    EXPECT_EQ(owner->extent().width, 3);
    EXPECT_EQ(owner->extent().height, 2);
}

TEST(Image, CopiesAreDeepCImageSharesAndKeepsAlive) {
    ImageRef image = randomImage(4, 4, 1);
    ImageRef copy = image->copy();
    EXPECT_NE(copy->pixels(), image->pixels());
    EXPECT_EQ(*copy->data(), *image->data());
    CImage dst(4, 4);
    dst.copyFrom(CImage(image));
    EXPECT_NE(dst.pixels(), image->pixels());
    EXPECT_EQ(std::memcmp(dst.pixels(), image->pixels(), 64), 0);

    std::weak_ptr<Image> watch = image;
    CImage view(image);
    EXPECT_EQ(view.pixels(), image->pixels());
    EXPECT_EQ(view.asImage(), image);
    image.reset();
    EXPECT_FALSE(watch.expired());  // the view holds its owner
    view = CImage();
    EXPECT_TRUE(watch.expired());
}

TEST(ImageDeathTest, SizeMismatchStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CImage a(4, 3), wider(5, 3), taller(4, 4);
    EXPECT_DEATH(a.copyFrom(wider), "src\\.width\\(\\) == width\\(\\)");
    EXPECT_DEATH(a.copyFrom(taller), "src\\.height\\(\\) == height\\(\\)");
}

TEST(Thumbnail, SizesFollowTheLongerSide) {
    struct Case {
        int w, h, tw, th;
    } cases[] = {{100, 50, 100, 50},     {1000, 500, 256, 128}, {300, 1000, 76, 256},
                 {4000, 3000, 256, 192}, {257, 256, 256, 255},  {256, 256, 256, 256}};
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

TEST(Thumbnail, HalvingAveragesTwoByTwoBlocks) {
    const ImageRef image = randomImage(512, 300, 3);
    const ImageRef thumbnail = image->thumbnail();
    ASSERT_EQ(thumbnail->width(), 256);
    ASSERT_EQ(thumbnail->height(), 150);
    auto byte = [](const ImageRef& i, int x, int y, int c) {
        return int(i->pixels()[(std::size_t(y) * i->width() + x) * 4 + c]);
    };
    int worst = 0;
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 256; ++x)
            for (int c = 0; c < 4; ++c) {  // byte order kept, alpha included
                const int sum = byte(image, 2 * x, 2 * y, c) + byte(image, 2 * x + 1, 2 * y, c) +
                                byte(image, 2 * x, 2 * y + 1, c) +
                                byte(image, 2 * x + 1, 2 * y + 1, c);
                worst = std::max(worst, std::abs(byte(thumbnail, x, y, c) * 4 - sum));
            }
    EXPECT_LE(worst, 4);  // within one level of the exact mean
}

TEST(Thumbnail, SectionShowsOnlyItsRectangle) {
    auto image = Image::create(600, 400);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 600; ++x)
            std::memcpy(image->pixels() + (std::size_t(y) * 600 + x) * 4,
                        x >= 300 && y >= 100 ? "\xFF\x0A\x14\xFA" : "\xFF\xC8\xC8\xC8", 4);
    const ImageRef thumbnail = image->thumbnailForSection({300, 100, 300, 300});
    ASSERT_EQ(thumbnail->width(), 256);
    ASSERT_EQ(thumbnail->height(), 256);
    for (int i = 0; i < 256 * 256; ++i)
        ASSERT_EQ(std::memcmp(thumbnail->pixels() + 4 * i, "\xFF\x0A\x14\xFA", 4), 0) << i;
}

TEST(ForceOpaque, SetsOnlyAlpha) {
    for (auto [w, h] : {std::pair{333, 517}, std::pair{1, 1}}) {
        auto image = randomImage(w, h, 4);
        const ImageRef before = image->copy();
        ForceOpaque(image);
        for (int i = 0; i < w * h; ++i) {
            ASSERT_EQ(image->pixels()[4 * i], 255) << i;
            ASSERT_EQ(std::memcmp(image->pixels() + 4 * i + 1, before->pixels() + 4 * i + 1, 3), 0);
        }
    }
}
