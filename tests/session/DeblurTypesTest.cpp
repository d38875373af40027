#include <gtest/gtest.h>

#include <cmath>

#include "DeblurTypes.h"

using namespace velkaro;

TEST(DeblurTypes, NaNMaskFloatsCompareAsNotLess) {
    const float nan = std::nanf("");
    auto entry = [](int maskType, float radius, float opacity, float crudeness) {
        return DeblurredEntry{DeblurType(4), 2, -1, {maskType, radius, opacity, crudeness}};
    };
    auto equivalent = [](const DeblurredEntry& a, const DeblurredEntry& b) {
        return !(a < b) && !(b < a);
    };
    for (int field = 0; field < 3; ++field) {
        DeblurredEntry a = entry(1, 1.0f, 0.5f, 0.5f);
        const DeblurredEntry b = a;
        float* fields[] = {&a.maskSettings.radius, &a.maskSettings.opacity,
                           &a.maskSettings.crudeness};
        *fields[field] = nan;
        EXPECT_TRUE(equivalent(a, b) && !(a < a)) << field;
    }
    // A NaN radius decides before a later field that differs.
    EXPECT_TRUE(equivalent(entry(1, nan, 0.1f, 0.1f), entry(1, 1.0f, 0.9f, 0.9f)));
    // Without a mask NaN floats are not looked at, and the mask type still orders.
    EXPECT_TRUE(equivalent(entry(-1, nan, nan, nan), entry(-1, 0, 0, 0)));
    EXPECT_TRUE(entry(-1, nan, 0, 0) < entry(0, nan, 0, 0));
}
