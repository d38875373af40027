// The result caches' packed form: every bit back, a photograph in well under its raw size, and
// packing on many worker threads at once.
#include <gtest/gtest.h>

#include <cstring>

#include "Dispatch.h"
#include "ImageTestSupport.h"
#include "PixelPack.h"

using namespace velkaro;

using namespace testsupport;

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
        EXPECT_EQ(
            std::memcmp(out->pixels(), in.pixels(), std::size_t(in.width()) * in.height() * 4), 0);
        EXPECT_NE(out->pixels(), in.pixels());
        const double raw = double(in.width()) * in.height() * 4;
        EXPECT_LE(double(packed[i]->byteSize()), cases[i].maxRatio * raw + 64);
    }
}
