#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ColorSpace.h"

using namespace velkaro;

namespace {

// The byte written for v into channel 2 of a pixel.
template <class T>
std::uint8_t written(T v) {
    std::uint8_t pixel[4] = {9, 9, 9, 9};
    if constexpr (sizeof(T) == sizeof(double))
        WriteChannelDouble(&v, pixel, 1, 2);
    else
        WriteChannelFloat(&v, pixel, 1, 2);
    return pixel[2];
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

TEST(ChannelTransfer, WritingAgreesWithTheDirectFormulaAtEveryLevelBoundary) {
    // Bisect each level boundary of the direct formula, then check the values on both sides of it,
    // a spread of random values, out of range and NaN, in both precisions.
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
        ASSERT_EQ(written(v), directEncode(v)) << "double " << v;
        ASSERT_EQ(written(float(v)), directEncode(double(float(v)))) << "float " << float(v);
    }
}

// At 16 bits a sample: every level read and written again is itself, and a written value is the
// nearest level of its encoding, in both precisions.
TEST(ChannelTransfer, SixteenBitLevelsRoundTripAndWriteTheNearestLevel) {
    std::vector<std::uint16_t> pixels(65536 * 4, 7), back(65536 * 4, 7);
    for (int i = 0; i < 65536; ++i) pixels[4 * i + 1] = std::uint16_t(i);
    std::vector<float> f(65536);
    std::vector<double> d(65536);
    ReadChannelFloat(pixels.data(), f.data(), 65536, 1);
    ReadChannelDouble(pixels.data(), d.data(), 65536, 1);
    for (int i = 0; i < 65536; ++i) {
        const double c = i / 65535.0;
        ASSERT_EQ(d[i], c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4)) << i;
    }
    WriteChannelFloat(f.data(), back.data(), 65536, 1);
    EXPECT_EQ(back, pixels);
    WriteChannelDouble(d.data(), back.data(), 65536, 1);
    EXPECT_EQ(back, pixels);

    auto direct = [](double v) {
        if (std::isnan(v) || v <= 0)
            return 0;
        if (v >= 1)
            return 65535;
        v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 0.4166666666666667) - 0.055;
        return int(std::floor(v * 65535 + 0.5));
    };
    std::uint64_t x = 0x2545F4914F6CDD1Dull;
    std::vector<double> values = {-1, 0, 1e-30, 2, std::numeric_limits<double>::quiet_NaN()};
    for (int i = 0; i < 300000; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        const double u = double(x >> 11) / 9007199254740992.0;
        values.push_back(i % 2 ? u : u * u * u * u);  // dense near black too
    }
    for (double v : values) {
        std::uint16_t pixel[4] = {};
        WriteChannelDouble(&v, pixel, 1, 3);
        ASSERT_EQ(pixel[3], direct(v)) << "double " << v;
        const float single = float(v);
        WriteChannelFloat(&single, pixel, 1, 3);
        ASSERT_EQ(pixel[3], direct(double(single))) << "float " << single;
    }
}
