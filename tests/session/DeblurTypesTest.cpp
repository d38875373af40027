#include <gtest/gtest.h>

#include <cmath>

#include "DeblurTypes.h"

namespace {

DeblurredEntry entry(int type, int step, int angle, int maskType = -1, float radius = 0,
                     float opacity = 0, float crudeness = 0) {
    return DeblurredEntry{DeblurType(type), step, angle,
                          MaskSettings{maskType, radius, opacity, crudeness}};
}

bool equivalent(const DeblurredEntry& a, const DeblurredEntry& b) {
    return !(a < b) && !(b < a);
}

}  // namespace

TEST(DeblurTypes, Ordering) {
    // Type, step and angle as signed ints: the first difference decides, before any mask field.
    EXPECT_TRUE(entry(1, 30, 170) < entry(2, 1, -1));
    EXPECT_FALSE(entry(2, 1, -1) < entry(1, 30, 170));
    EXPECT_TRUE(entry(5, 2, 170) < entry(5, 3, -1));
    EXPECT_TRUE(entry(5, 3, -1) < entry(5, 3, 0));
    EXPECT_TRUE(entry(-1, 3, 0) < entry(0, 3, 0));
    EXPECT_TRUE(entry(5, 3, 0, 2, 9, 9, 9) < entry(5, 3, 10, -1));
    // No mask sorts first and ignores its floats; then the mask type.
    EXPECT_TRUE(entry(15, 6, -1, -1, 99, 99, 99) < entry(15, 6, -1, 0));
    EXPECT_FALSE(entry(15, 6, -1, 0) < entry(15, 6, -1, -1));
    EXPECT_TRUE(equivalent(entry(3, 1, -1, -1, 1, 2, 3), entry(3, 1, -1, -1, 4, 5, 6)));
    EXPECT_TRUE(entry(15, 6, -1, 0, 9, 9, 9) < entry(15, 6, -1, 1));
    // With a mask: radius, then opacity, then crudeness, compared exactly (-0 equals +0).
    EXPECT_TRUE(entry(3, 1, -1, 1, 2.0f, 0.9f, 0.9f) < entry(3, 1, -1, 1, 3.0f, 0.1f, 0.1f));
    EXPECT_TRUE(entry(3, 1, -1, 1, 3.0f, 0.1f, 0.9f) < entry(3, 1, -1, 1, 3.0f, 0.2f, 0.1f));
    EXPECT_TRUE(entry(3, 1, -1, 1, 3.0f, 0.2f, 0.1f) < entry(3, 1, -1, 1, 3.0f, 0.2f, 0.2f));
    EXPECT_TRUE(entry(3, 1, -1, 0, 2.5f) < entry(3, 1, -1, 0, std::nextafter(2.5f, 3.0f)));
    EXPECT_TRUE(equivalent(entry(3, 1, -1, 0, -0.0f), entry(3, 1, -1, 0, 0.0f)));
}

TEST(DeblurTypes, NaNMaskFloatsCompareAsNotLess) {
    const float nan = std::nanf("");
    for (int field = 0; field < 3; ++field) {
        DeblurredEntry a = entry(4, 2, -1, 1, 1.0f, 0.5f, 0.5f);
        const DeblurredEntry b = a;
        float* fields[] = {&a.maskSettings.radius, &a.maskSettings.opacity,
                           &a.maskSettings.crudeness};
        *fields[field] = nan;
        EXPECT_TRUE(!(a < b) && !(b < a) && !(a < a)) << field;
    }
    // A NaN radius decides before a later field that differs.
    EXPECT_TRUE(
        equivalent(entry(4, 2, -1, 1, nan, 0.1f, 0.1f), entry(4, 2, -1, 1, 1.0f, 0.9f, 0.9f)));
    // Without a mask NaN floats are not looked at, and the mask type still orders.
    EXPECT_TRUE(equivalent(entry(4, 2, -1, -1, nan, nan, nan), entry(4, 2, -1, -1)));
    EXPECT_TRUE(entry(4, 2, -1, -1, nan) < entry(4, 2, -1, 0, nan));
}
