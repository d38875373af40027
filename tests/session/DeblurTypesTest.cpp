#include <gtest/gtest.h>

#include <cmath>

#include "DeblurTypes.h"

using namespace velkaro;

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
