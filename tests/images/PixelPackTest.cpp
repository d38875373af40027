// The result caches' packed form: every bit back, a photograph in well under its raw size, and
// packing on many worker threads at once.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "Dispatch.h"
#include "ImageTestSupport.h"
#include "PixelPack.h"

using namespace velkaro;

using namespace testsupport;

namespace {

// A 16-bit image: `image` widened, with `noise` levels of uniform noise on every colour sample.
ImageRef widened(const ImageRef& image, int noise, unsigned seed) {
    ImageRef wide = ImageAtDepth(image, 16);
    std::mt19937 random(seed);
    auto* p = reinterpret_cast<std::uint16_t*>(wide->pixels());
    for (std::size_t i = 0; i < std::size_t(wide->width()) * wide->height() * 4; ++i)
        if (i % 4)
            p[i] = std::uint16_t(
                std::clamp(int(p[i]) + int(random() % (2 * noise + 1)) - noise, 0, 65535));
    return wide;
}

// A 16-bit image of the largest residuals: every sample 0 or 65535 at random.
ImageRef extremes(int width, int height, unsigned seed) {
    ImageRef image = Image::create(width, height, 16);
    std::mt19937 random(seed);
    auto* p = reinterpret_cast<std::uint16_t*>(image->pixels());
    for (std::size_t i = 0; i < std::size_t(width) * height * 4; ++i)
        p[i] = random() % 2 ? 65535 : 0;
    return image;
}

}  // namespace

TEST(PixelPack, UnpacksEveryBitAndPacksAPhotographCompactly) {
    struct Case {
        const char* name;
        ImageRef image;
        double maxRatio;  // packed bytes over raw bytes at most
    };
    const Case cases[] = {
        {"1x1", randomImage(1, 1, 1), 100},
        {"odd, random alpha", randomImage(7, 5, 2), 100},
        {"one wide row", randomImage(5001, 1, 3), 1.1},
        {"one tall column", randomImage(1, 3001, 4), 1.1},
        {"many strips, random", randomImage(1000, 700, 5), 1.1},
        {"photograph", photoLikeImage(1500, 1100, 8), 0.5},
        {"photograph with alpha", photoLikeImage(777, 555, 6, false), 0.5},
        {"16-bit, random", widened(randomImage(301, 203, 9), 32767, 9), 1.1},
        {"16-bit, only 0 and 65535", extremes(97, 65, 12), 1.1},
        {"16-bit, only 0 and 65535, one column", extremes(1, 777, 13), 1.1},
        // A raw developer's noise: about a level of 8 bits. 0.6 of 8 bytes a pixel keeps a
        // 12-megapixel result under 60 MB.
        {"16-bit photograph", widened(photoLikeImage(1500, 1100, 10), 300, 10), 0.6},
        {"16-bit photograph with alpha", widened(photoLikeImage(333, 201, 11, false), 300, 11),
         0.6},
    };
    // All cases at once on the worker pool, so that strips of different images interleave.
    const std::size_t count = sizeof cases / sizeof cases[0];
    std::vector<PixelPackRef> packed(count);
    std::vector<ImageRef> unpacked(count);
    dispatchApply(count, [&](std::size_t i) {
        packed[i] = PixelPack::pack(*cases[i].image);
        unpacked[i] = packed[i]->unpack();
    });
    for (std::size_t i = 0; i < count; ++i) {
        const Image& in = *cases[i].image;
        SCOPED_TRACE(cases[i].name);
        ASSERT_TRUE(packed[i]);
        ASSERT_TRUE(unpacked[i]);
        const ImageRef& out = unpacked[i];
        ASSERT_TRUE(out->width() == in.width());
        ASSERT_TRUE(out->height() == in.height());
        ASSERT_TRUE(out->depth() == in.depth());
        const std::size_t bytes = std::size_t(in.width()) * in.height() * in.bytesPerPixel();
        EXPECT_EQ(std::memcmp(out->pixels(), in.pixels(), bytes), 0);
        EXPECT_NE(out->pixels(), in.pixels());
        const double raw = double(bytes);
        EXPECT_LE(double(packed[i]->byteSize()), cases[i].maxRatio * raw + 64);
    }
}
