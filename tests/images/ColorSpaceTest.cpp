#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ColorSpace.h"

namespace {

std::uint8_t writeDouble(double v) {
    std::uint8_t pixel[4] = {9, 9, 9, 9};
    WriteChannelDouble(&v, pixel, 1, 2);
    return pixel[2];
}

std::uint8_t writeFloat(float v) {
    std::uint8_t pixel[4] = {9, 9, 9, 9};
    WriteChannelFloat(&v, pixel, 1, 2);
    return pixel[2];
}

// The documented curves written out directly.
double decode(double c) {
    return c > 0.0404482362771076 ? std::pow((c + 0.055) / 1.055, 2.4) : c / 12.92;
}
double encode(double c) {
    return c > 0.0031306684425005883 ? 1.055 * std::pow(c, 1 / 2.4) - 0.055 : 12.92 * c;
}

// The byte written for a linear value, with a pow per value.
int directEncode(double v) {
    if (std::isnan(v) || v < 0)
        return 0;
    if (v > 1)
        v = 1;
    v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 0.4166666666666667) - 0.055;
    const double scaled = v * 255;
    return scaled > 0 ? std::min(255, int(scaled)) : 0;
}

}  // namespace

TEST(ChannelTransfer, ReadMatchesTheSrgbCurve) {
    std::vector<std::uint8_t> pixels(256 * 4, 77);  // every byte in channel 3
    for (int i = 0; i < 256; ++i) pixels[4 * i + 3] = std::uint8_t(i);
    std::vector<double> d(256);
    std::vector<float> f(256);
    ReadChannelDouble(pixels.data(), d.data(), 256, 3);
    ReadChannelFloat(pixels.data(), f.data(), 256, 3);
    for (int i = 0; i < 256; ++i) {
        const double c = i / 255.0;
        EXPECT_EQ(d[i], c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4)) << i;
        const double cf = double(float(i) / 255.0f);  // single-precision division, then double
        EXPECT_EQ(f[i], float(cf <= 0.04045 ? cf / 12.92 : std::pow((cf + 0.055) / 1.055, 2.4)))
            << i;
    }
}

TEST(ChannelTransfer, TouchesOnlyItsChannelAndCount) {
    std::vector<std::uint8_t> pixels(5 * 4, 200);
    const double in[3] = {0, 0, 0};
    WriteChannelDouble(in, pixels.data(), 3, 2);
    const float one[1] = {1};
    WriteChannelFloat(one, pixels.data(), -3, 1);  // count < 1 does nothing
    for (int i = 0; i < 20; ++i) EXPECT_EQ(pixels[i], i % 4 == 2 && i < 12 ? 0 : 200) << i;
}

TEST(ChannelTransfer, WritingAgreesWithTheDirectFormulaAtEveryLevelBoundary) {
    // Bisect each level boundary of the direct formula, then check the values on both sides of it
    // and a spread of random values, in both precisions.
    // Out of range and NaN as well.
    std::vector<double> values = {-0.2, 0, 1, 1.5, std::numeric_limits<double>::quiet_NaN()};
    for (int k = 1; k <= 254; ++k) {
        double lo = 0, hi = 1;
        for (int it = 0; it < 80; ++it) {
            const double mid = 0.5 * (lo + hi);
            (directEncode(mid) >= k ? hi : lo) = mid;
        }
        for (double v : {lo, hi, std::nextafter(hi, 0.0), std::nextafter(hi, 2.0)}) {
            const float f = float(v);
            values.insert(values.end(), {v, std::nextafter(f, 0.0f), f, std::nextafter(f, 2.0f)});
        }
    }
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 200000; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        values.push_back(double(x >> 11) / 9007199254740992.0 * 1.4 - 0.2);
    }
    for (double v : values) {
        ASSERT_EQ(writeDouble(v), directEncode(v)) << "double " << v;
        ASSERT_EQ(writeFloat(float(v)), directEncode(double(float(v)))) << "float " << float(v);
    }
}

TEST(ColorConversion, RgbAndXyzFollowTheMatricesOnLinearLight) {
    const double M[3][3] = {{0.41239558896741424, 0.3575834307637148, 0.18049264738170157},
                            {0.21258623078559555, 0.7151703037034108, 0.07220049864333623},
                            {0.019297215491746945, 0.11918386458084854, 0.9504971251315798}};
    for (const auto& s : {std::vector<double>{1, 1, 1}, {0, 0, 0}, {0.5, 0.02, 0.8}}) {
        double out[3];
        Rgb2Xyz(&out[0], &out[1], &out[2], s[0], s[1], s[2]);
        for (int r = 0; r < 3; ++r)
            EXPECT_NEAR(out[r],
                        M[r][0] * decode(s[0]) + M[r][1] * decode(s[1]) + M[r][2] * decode(s[2]),
                        1e-15);
    }
    double r, g, b;
    // Y alone: linear red −1.5372 and blue −0.204 are negative; red is the smallest and all are
    // lifted by it; nothing is clamped above 1.
    Xyz2Rgb(&r, &g, &b, 0, 1, 0);
    EXPECT_EQ(r, 0);
    EXPECT_NEAR(g, encode(1.8758 + 1.5372), 1e-12);
    EXPECT_NEAR(b, encode(-0.204 + 1.5372), 1e-12);
    EXPECT_GT(g, 1);
    // In gamut: plain matrix and curve.
    Xyz2Rgb(&r, &g, &b, 0.2, 0.25, 0.3);
    EXPECT_NEAR(r, encode(3.2406 * 0.2 - 1.5372 * 0.25 - 0.4986 * 0.3), 1e-12);
    EXPECT_NEAR(g, encode(-0.9689 * 0.2 + 1.8758 * 0.25 + 0.0415 * 0.3), 1e-12);
    EXPECT_NEAR(b, encode(0.0557 * 0.2 - 0.204 * 0.25 + 1.057 * 0.3), 1e-12);
}

TEST(ColorConversion, LabClosedFormsAndRoundTrips) {
    double L, a, b;
    Xyz2Lab(&L, &a, &b, 0.950456, 1, 1.088754);  // the white point
    EXPECT_NEAR(L, 100, 1e-9);
    EXPECT_NEAR(a, 0, 1e-9);
    EXPECT_NEAR(b, 0, 1e-9);
    Xyz2Lab(&L, &a, &b, 0.001, 0.001, 0.001);  // dark colours take the linear segment
    EXPECT_NEAR(L, 116 * 7.787037037037037 * 0.001, 1e-12);
    for (const auto& s : {std::vector<double>{0.1, 0.2, 0.3},
                          {0.9, 0.8, 0.7},
                          {0.002, 0.004, 0.001},
                          {0.3, 0.01, 0.6}}) {
        double X, Y, Z;
        Xyz2Lab(&L, &a, &b, s[0], s[1], s[2]);
        Lab2Xyz(&X, &Y, &Z, L, a, b);
        EXPECT_NEAR(X, s[0], 1e-9);
        EXPECT_NEAR(Y, s[1], 1e-9);
        EXPECT_NEAR(Z, s[2], 1e-9);
        // RGB comes back within the rounding of the two published matrices, which are not exact
        // inverses of each other.
        double r, g, bl;
        Rgb2Lab(&L, &a, &b, s[0], s[1], s[2]);
        Lab2Rgb(&r, &g, &bl, L, a, b);
        EXPECT_NEAR(r, s[0], 2e-3);
        EXPECT_NEAR(g, s[1], 2e-3);
        EXPECT_NEAR(bl, s[2], 2e-3);
    }
}
