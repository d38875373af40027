#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "DeblurTypes.h"

namespace {

DeblurredEntry entry(int type, int step, int angle, int maskType = -1, float radius = 0,
                     float opacity = 0, float crudeness = 0) {
    return DeblurredEntry{DeblurType(type), step, angle,
                          MaskSettings{maskType, radius, opacity, crudeness}};
}

bool equivalent(const DeblurredEntry& a, const DeblurredEntry& b) { return !(a < b) && !(b < a); }

}  // namespace

TEST(DeblurTypes, NamesOfEveryValue) {
    const char* expected[] = {"USM1", "USM2", "USM3", "USM4",  "USM5", "USMF1", "USMF2",
                              "USMF3", "USMF4", "USMF5", "WF2", "WF3",  "WI2",   "WI3",
                              "RL20", "RL40", "RL80",  "RT20", "RT40", "RT80",  "LA1",
                              "LA2"};
    for (int t = 0; t < kGridDeblurTypes; ++t) EXPECT_STREQ(DeblurTypeName(t), expected[t]) << t;
    EXPECT_STREQ(DeblurTypeName(23), "FR");
    EXPECT_STREQ(DeblurTypeName(24), "effect");
    for (int t : {22, 25, 26, 27, 100, -1, -1000})
        EXPECT_STREQ(DeblurTypeName(t), "bad_deblur_type") << t;
    EXPECT_STREQ(MaskTypeName(0), "A");
    EXPECT_STREQ(MaskTypeName(1), "B");
    EXPECT_STREQ(MaskTypeName(2), "C");
    EXPECT_STREQ(MaskTypeName(-1), "err");
    EXPECT_STREQ(MaskTypeName(3), "err");
}

TEST(DeblurTypes, EmptyEntry) {
    const DeblurredEntry e = EmptyDeblurredEntry();
    EXPECT_EQ(e.deblurType, 26);
    EXPECT_EQ(e.radiusStep, 0);
    EXPECT_EQ(e.angle, -1);
    EXPECT_EQ(e.maskSettings.type, -1);
    EXPECT_EQ(e.maskSettings.radius, 0.0f);
    EXPECT_EQ(e.maskSettings.opacity, 0.0f);
    EXPECT_EQ(e.maskSettings.crudeness, 0.0f);
}

TEST(DeblurTypes, OrderingOfTypeStepAngle) {
    // Lexicographic over signed ints: the first difference decides.
    EXPECT_TRUE(entry(1, 30, 170) < entry(2, 1, -1));
    EXPECT_FALSE(entry(2, 1, -1) < entry(1, 30, 170));
    EXPECT_TRUE(entry(5, 2, 170) < entry(5, 3, -1));
    EXPECT_TRUE(entry(5, 3, -1) < entry(5, 3, 0));
    EXPECT_TRUE(entry(-1, 3, 0) < entry(0, 3, 0));
    // The step and angle decide before any mask field.
    EXPECT_TRUE(entry(5, 3, 0, 2, 9, 9, 9) < entry(5, 3, 10, -1));
}

TEST(DeblurTypes, OrderingOfMaskSettings) {
    // No mask sorts before the same entry with a mask, whatever the floats hold.
    EXPECT_TRUE(entry(15, 6, -1, -1, 99, 99, 99) < entry(15, 6, -1, 0, 0, 0, 0));
    EXPECT_FALSE(entry(15, 6, -1, 0) < entry(15, 6, -1, -1));
    EXPECT_TRUE(entry(15, 6, -1, 0, 9, 9, 9) < entry(15, 6, -1, 1, 0, 0, 0));
    // Mask type -1 ignores the floats entirely.
    EXPECT_TRUE(equivalent(entry(3, 1, -1, -1, 1, 2, 3), entry(3, 1, -1, -1, 4, 5, 6)));
    // With a mask, radius, then opacity, then crudeness decide.
    EXPECT_TRUE(entry(3, 1, -1, 1, 2.0f, 0.9f, 0.9f) < entry(3, 1, -1, 1, 3.0f, 0.1f, 0.1f));
    EXPECT_TRUE(entry(3, 1, -1, 1, 3.0f, 0.1f, 0.9f) < entry(3, 1, -1, 1, 3.0f, 0.2f, 0.1f));
    EXPECT_TRUE(entry(3, 1, -1, 1, 3.0f, 0.2f, 0.1f) < entry(3, 1, -1, 1, 3.0f, 0.2f, 0.2f));
    EXPECT_TRUE(equivalent(entry(3, 1, -1, 2, 3.0f, 0.2f, 0.1f), entry(3, 1, -1, 2, 3.0f, 0.2f, 0.1f)));
    // Floats are compared exactly: one ulp apart are distinct keys.
    const float r = 2.5f;
    EXPECT_TRUE(entry(3, 1, -1, 0, r) < entry(3, 1, -1, 0, std::nextafter(r, 3.0f)));
    // -0 and +0 are the same value.
    EXPECT_TRUE(equivalent(entry(3, 1, -1, 0, -0.0f), entry(3, 1, -1, 0, 0.0f)));
}

TEST(DeblurTypes, NaNMaskFloatsCompareAsNotLess) {
    const float nan = std::nanf("");
    for (int field = 0; field < 3; ++field) {
        DeblurredEntry a = entry(4, 2, -1, 1, 1.0f, 0.5f, 0.5f);
        DeblurredEntry b = entry(4, 2, -1, 1, 1.0f, 0.5f, 0.5f);
        float* fa[] = {&a.maskSettings.radius, &a.maskSettings.opacity, &a.maskSettings.crudeness};
        *fa[field] = nan;
        EXPECT_FALSE(a < b) << field;
        EXPECT_FALSE(b < a) << field;
        EXPECT_FALSE(a < a) << field;  // irreflexive even with NaN
    }
    // A NaN radius decides before a later field that differs.
    EXPECT_TRUE(equivalent(entry(4, 2, -1, 1, nan, 0.1f, 0.1f), entry(4, 2, -1, 1, 1.0f, 0.9f, 0.9f)));
    // Without a mask NaN floats are not even looked at, and the type still orders.
    EXPECT_TRUE(equivalent(entry(4, 2, -1, -1, nan, nan, nan), entry(4, 2, -1, -1)));
    EXPECT_TRUE(entry(4, 2, -1, -1, nan) < entry(4, 2, -1, 0, nan));
}

TEST(DeblurTypes, MapKeysFollowTheOrdering) {
    std::map<DeblurredEntry, int> m;
    m[entry(15, 6, -1, -1, 1, 1, 1)] = 1;
    m[entry(15, 6, -1, -1, 2, 2, 2)] = 2;  // same key: replaces
    m[entry(15, 6, -1, 0, 1, 0.5f, 0.5f)] = 3;
    m[entry(15, 6, -1, 0, 1, 0.6f, 0.5f)] = 4;  // differs in a mask float: a new key
    m[entry(1, 3, -1)] = 5;
    ASSERT_EQ(m.size(), 4u);
    auto it = m.begin();
    EXPECT_EQ(it->second, 5);
    EXPECT_EQ((++it)->second, 2);
    EXPECT_EQ((++it)->second, 3);
    EXPECT_EQ((++it)->second, 4);
}
