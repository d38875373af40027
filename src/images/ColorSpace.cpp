#include "ColorSpace.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace velkaro {

namespace {

// The decoded values of all 256 bytes, computed once with the correctly rounded pow.
struct DecodeTables {
    std::array<float, 256> f;
    std::array<double, 256> d;
    DecodeTables() {
        for (int i = 0; i < 256; ++i) {
            const double cf = double(float(i) / 255.0f);
            f[i] = float(cf <= 0.04045 ? cf / 12.92 : std::pow((cf + 0.055) / 1.055, 2.4));
            const double cd = double(i) / 255.0;
            d[i] = cd <= 0.04045 ? cd / 12.92 : std::pow((cd + 0.055) / 1.055, 2.4);
        }
    }
};

const DecodeTables& tables() {
    static const DecodeTables t;
    return t;
}

constexpr double kEncodeExponent = 0.4166666666666667;  // the double nearest 1 / 2.4

// The sRGB encoding of a linear value in 0 … 1, as both sample widths round it.
double encodedValue(double v) {
    return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, kEncodeExponent) - 0.055;
}

// Encodes a linear value already known to be in 0 … 1 (or NaN) to a byte.
std::uint8_t encode(double v) {
    if (std::isnan(v))
        return 0;
    v = encodedValue(v);
    const double scaled = v * 255;
    if (!(scaled > 0))
        return 0;
    if (scaled >= 255)
        return 255;
    return std::uint8_t(int(scaled));
}

double srgbDecode(double c, double threshold) {
    return c > threshold || std::isnan(c) ? std::pow((c + 0.055) / 1.055, 2.4) : c / 12.92;
}

double srgbEncode(double c) {
    return c > 0.0031306684425005883 ? 1.055 * std::pow(c, kEncodeExponent) - 0.055 : 12.92 * c;
}

}  // namespace

void ReadChannelFloat(const std::uint8_t* pixels, float* out, int count, int channel) {
    const auto& t = tables().f;
    for (int i = 0; i < count; ++i) out[i] = t[pixels[std::size_t(i) * 4 + channel]];
}

void ReadChannelDouble(const std::uint8_t* pixels, double* out, int count, int channel) {
    const auto& t = tables().d;
    for (int i = 0; i < count; ++i) out[i] = t[pixels[std::size_t(i) * 4 + channel]];
}

namespace {

// Encoding is monotonic, so the byte of a value in 0 … 1 is the number of byte thresholds it
// reaches. The thresholds are found once by bisection over the ordered bit patterns of the
// non-negative floats (doubles), which makes the table lookup give exactly the bytes of encode()
// without a pow per pixel.
template <typename T, typename Bits>
struct EncodeThresholds {
    std::array<T, 256> t;  // t[k]: the smallest value whose byte is at least k
    EncodeThresholds() {
        t[0] = 0;
        const Bits one = std::bit_cast<Bits>(T(1));
        for (int k = 1; k < 256; ++k) {
            if (encode(double(T(1))) < k) {
                t[k] = std::numeric_limits<T>::infinity();
                continue;
            }
            Bits lo = 0, hi = one;  // encode(lo) < k <= encode(hi)
            while (hi - lo > 1) {
                const Bits mid = lo + (hi - lo) / 2;
                if (encode(double(std::bit_cast<T>(mid))) >= k)
                    hi = mid;
                else
                    lo = mid;
            }
            t[k] = std::bit_cast<T>(hi);
        }
    }
    std::uint8_t byteOf(T v) const {  // v in 0 … 1
        int b = 0;
        for (int step = 128; step > 0; step >>= 1)
            if (t[b + step] <= v)
                b += step;
        return std::uint8_t(b);
    }
};

// Floats go faster: the byte at the start of each 2^15-ulp bucket of the values 0 … 1 is looked
// up, and then settled against the thresholds. A bucket spans under 0.4 % of its value, less than
// the distance between two byte thresholds, so at most one comparison moves it.
struct FloatEncodeTable : EncodeThresholds<float, std::uint32_t> {
    static constexpr int kBucketShift = 15;
    std::vector<std::uint8_t> bucketByte;
    FloatEncodeTable() {
        const std::uint32_t last = std::bit_cast<std::uint32_t>(1.0f) >> kBucketShift;
        bucketByte.resize(last + 1);
        for (std::uint32_t b = 0; b <= last; ++b)
            bucketByte[b] = byteOf(std::bit_cast<float>(b << kBucketShift));
    }
    std::uint8_t fastByteOf(float v) const {  // v in 0 … 1
        int b = bucketByte[std::bit_cast<std::uint32_t>(v) >> kBucketShift];
        while (b < 255 && t[b + 1] <= v) ++b;
        return std::uint8_t(b);
    }
};

const FloatEncodeTable& floatThresholds() {
    static const FloatEncodeTable t;
    return t;
}

const EncodeThresholds<double, std::uint64_t>& doubleThresholds() {
    static const EncodeThresholds<double, std::uint64_t> t;
    return t;
}

}  // namespace

void WriteChannelFloat(const float* in, std::uint8_t* pixels, int count, int channel) {
    const auto& thresholds = floatThresholds();
    for (int i = 0; i < count; ++i) {
        const float v = in[i];
        std::uint8_t& byte = pixels[std::size_t(i) * 4 + channel];
        if (!(v > 0.0f))  // negative, zero of either sign, NaN
            byte = 0;
        else
            byte = thresholds.fastByteOf(v > 1.0f ? 1.0f : v);
    }
}

void WriteChannelDouble(const double* in, std::uint8_t* pixels, int count, int channel) {
    const auto& thresholds = doubleThresholds();
    for (int i = 0; i < count; ++i) {
        const double v = in[i];
        std::uint8_t& byte = pixels[std::size_t(i) * 4 + channel];
        if (v < 0 || std::isnan(v))
            byte = 0;
        else
            byte = thresholds.byteOf(v > 1 ? 1.0 : v);
    }
}

namespace {

// The 16-bit levels: decoded values of all 65536 words, and for encoding the smallest linear
// value of each level (level k holds the values whose encoding times 65535 rounds to k), found
// from the exact boundary and corrected to the last bit, so that a lookup agrees with the
// direct computation. A value's level is first interpolated from the encoding at the starts of
// 2^15-ulp buckets of its float (within a level of the truth) and then settled against those
// thresholds.
template <typename T>
struct WideTables {
    static constexpr int kBucketShift = 15;
    std::vector<T> decoded, thresholds;
    std::vector<float> bucketLevels;  // 65535 × encoding of each bucket's first float
    static double encoded(double v) { return encodedValue(v) * 65535; }
    static int levelOf(double v) {  // v linear, in 0 … 1
        return int(std::floor(encoded(v) + 0.5));
    }
    WideTables() : decoded(65536), thresholds(65536) {
        for (int i = 0; i < 65536; ++i) {
            const double c = double(i) / 65535;
            decoded[i] = T(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
        thresholds[0] = 0;
        for (int k = 1; k < 65536; ++k) {
            const double c = (k - 0.5) / 65535;
            T t = T(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
            while (t > 0 && levelOf(double(std::nextafter(t, T(0)))) >= k)
                t = std::nextafter(t, T(0));
            while (levelOf(double(t)) < k) t = std::nextafter(t, T(2));
            thresholds[k] = t;
        }
        const std::uint32_t buckets = (std::bit_cast<std::uint32_t>(1.0f) >> kBucketShift) + 2;
        bucketLevels.resize(buckets);
        for (std::uint32_t i = 0; i < buckets; ++i)
            bucketLevels[i] = float(encoded(double(std::bit_cast<float>(i << kBucketShift))));
    }
    std::uint16_t levelFor(T v) const {
        if (!(v > 0))
            return 0;  // also NaN
        if (v >= 1)
            return 65535;
        const float f = float(v);
        const std::uint32_t i = std::bit_cast<std::uint32_t>(f) >> kBucketShift;
        const float lo = std::bit_cast<float>(i << kBucketShift);
        const float hi = std::bit_cast<float>((i + 1) << kBucketShift);
        const float at =
            bucketLevels[i] + (bucketLevels[i + 1] - bucketLevels[i]) * ((f - lo) / (hi - lo));
        int level = std::clamp(int(at + 0.5f), 0, 65535);
        while (level < 65535 && thresholds[level + 1] <= v) ++level;
        while (level > 0 && thresholds[level] > v) --level;
        return std::uint16_t(level);
    }
};

template <typename T>
const WideTables<T>& wideTables() {
    static const WideTables<T> tables;
    return tables;
}

template <typename T>
void readWide(const std::uint16_t* pixels, T* out, int count, int channel) {
    const T* decoded = wideTables<T>().decoded.data();
    for (int i = 0; i < count; ++i) out[i] = decoded[pixels[std::size_t(i) * 4 + channel]];
}

template <typename T>
void writeWide(const T* in, std::uint16_t* pixels, int count, int channel) {
    const auto& tables = wideTables<T>();
    for (int i = 0; i < count; ++i) pixels[std::size_t(i) * 4 + channel] = tables.levelFor(in[i]);
}

std::uint16_t* wideAt(const CImage& image, int x, int y) {
    return reinterpret_cast<std::uint16_t*>(image.pixelAt(x, y));
}

}  // namespace

void ReadChannelFloat(const std::uint16_t* pixels, float* out, int count, int channel) {
    readWide(pixels, out, count, channel);
}
void ReadChannelDouble(const std::uint16_t* pixels, double* out, int count, int channel) {
    readWide(pixels, out, count, channel);
}
void WriteChannelFloat(const float* in, std::uint16_t* pixels, int count, int channel) {
    writeWide(in, pixels, count, channel);
}
void WriteChannelDouble(const double* in, std::uint16_t* pixels, int count, int channel) {
    writeWide(in, pixels, count, channel);
}

void ReadImageChannel(const CImage& image, int x, int y, float* out, int count, int channel) {
    if (image.depth() == 16)
        ReadChannelFloat(wideAt(image, x, y), out, count, channel);
    else
        ReadChannelFloat(image.pixelAt(x, y), out, count, channel);
}
void ReadImageChannel(const CImage& image, int x, int y, double* out, int count, int channel) {
    if (image.depth() == 16)
        ReadChannelDouble(wideAt(image, x, y), out, count, channel);
    else
        ReadChannelDouble(image.pixelAt(x, y), out, count, channel);
}
void WriteImageChannel(const float* in, const CImage& image, int x, int y, int count, int channel) {
    if (image.depth() == 16)
        WriteChannelFloat(in, wideAt(image, x, y), count, channel);
    else
        WriteChannelFloat(in, image.pixelAt(x, y), count, channel);
}
void WriteImageChannel(const double* in, const CImage& image, int x, int y, int count,
                       int channel) {
    if (image.depth() == 16)
        WriteChannelDouble(in, wideAt(image, x, y), count, channel);
    else
        WriteChannelDouble(in, image.pixelAt(x, y), count, channel);
}

void Rgb2Xyz(double* X, double* Y, double* Z, double r, double g, double b) {
    constexpr double t = 0.0404482362771076;
    r = srgbDecode(r, t);
    g = srgbDecode(g, t);
    b = srgbDecode(b, t);
    *X = 0.41239558896741424 * r + 0.3575834307637148 * g + 0.18049264738170157 * b;
    *Y = 0.21258623078559555 * r + 0.7151703037034108 * g + 0.07220049864333623 * b;
    *Z = 0.019297215491746945 * r + 0.11918386458084854 * g + 0.9504971251315798 * b;
}

void Xyz2Rgb(double* r, double* g, double* b, double X, double Y, double Z) {
    double rr = 3.2406 * X - 1.5372 * Y - 0.4986 * Z;
    double gg = -0.9689 * X + 1.8758 * Y + 0.0415 * Z;
    double bb = 0.0557 * X - 0.204 * Y + 1.057 * Z;
    const double m = std::fmin(rr, std::fmin(gg, bb));
    if (m < 0) {
        rr -= m;
        gg -= m;
        bb -= m;
    }
    *r = srgbEncode(rr);
    *g = srgbEncode(gg);
    *b = srgbEncode(bb);
}

namespace {
double labF(double t) {
    return t >= 0.008856451679035631 ? std::pow(t, 0.333333333333333)
                                     : 7.787037037037037 * t + 0.13793103448275862;
}
double labG(double t) {
    return t >= 0.20689655172413793 ? t * t * t : (t - 0.13793103448275862) * 0.12841854934601665;
}
}  // namespace

void Xyz2Lab(double* L, double* a, double* b, double X, double Y, double Z) {
    const double fx = labF(X / 0.950456), fy = labF(Y), fz = labF(Z / 1.088754);
    *L = 116 * fy - 16;
    *a = 500 * (fx - fy);
    *b = 200 * (fy - fz);
}

void Lab2Xyz(double* X, double* Y, double* Z, double L, double a, double b) {
    const double fy = (L + 16) / 116, fx = a / 500 + fy, fz = fy - b / 200;
    *X = labG(fx) * 0.950456;
    *Y = labG(fy);
    *Z = labG(fz) * 1.088754;
}

void Rgb2Lab(double* L, double* a, double* b, double r, double g, double bl) {
    double X, Y, Z;
    Rgb2Xyz(&X, &Y, &Z, r, g, bl);
    Xyz2Lab(L, a, b, X, Y, Z);
}

void Lab2Rgb(double* r, double* g, double* b, double L, double a, double bl) {
    double X, Y, Z;
    Lab2Xyz(&X, &Y, &Z, L, a, bl);
    Xyz2Rgb(r, g, b, X, Y, Z);
}

}  // namespace velkaro
