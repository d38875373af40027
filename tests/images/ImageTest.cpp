#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "Image.h"
#include "ImageProcess.h"
#include "ImageTestSupport.h"

using namespace velkaro;

using testsupport::randomImage;

TEST(Thumbnail, HalvingAveragesTwoByTwoBlocksAndASectionShowsOnlyItsRectangle) {
    const ImageRef random = randomImage(512, 300, 3);
    const ImageRef half = random->thumbnail();
    ASSERT_EQ(half->width(), 256);
    ASSERT_EQ(half->height(), 150);
    auto byte = [](const ImageRef& i, int x, int y, int c) {
        return int(i->pixels()[(std::size_t(y) * i->width() + x) * 4 + c]);
    };
    int worst = 0;
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 256; ++x)
            for (int c = 0; c < 4; ++c) {  // byte order kept, alpha included
                const int sum = byte(random, 2 * x, 2 * y, c) + byte(random, 2 * x + 1, 2 * y, c) +
                                byte(random, 2 * x, 2 * y + 1, c) +
                                byte(random, 2 * x + 1, 2 * y + 1, c);
                worst = std::max(worst, std::abs(byte(half, x, y, c) * 4 - sum));
            }
    EXPECT_LE(worst, 4);  // within one level of the exact mean

    // A section's thumbnail shows only its rectangle.
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
