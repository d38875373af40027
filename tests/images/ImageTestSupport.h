#pragma once

// Helpers shared by the image tests: temporary folders, file bytes, an independent decoder (Qt's),
// image comparison and PNG headers claiming any size.

#include <gtest/gtest.h>
#include <zlib.h>

#include <QImage>
#include <QImageReader>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "Image.h"

using namespace velkaro;

namespace testsupport {

inline std::string dataPath(const char* name) {
    return std::string(VELKARO_TEST_DATA_DIR) + "/" + name;
}

// A fresh empty folder, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("VELKARO_TEST_OUTPUT_DIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/velkaro-test-XXXXXX";
        std::filesystem::create_directories(std::filesystem::path(pattern).parent_path());
        mPath = mkdtemp(pattern.data()) ? pattern : std::string();
        EXPECT_FALSE(mPath.empty());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

  private:
    std::string mPath;
};

inline ByteBuffer readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteBuffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const ByteBuffer& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The first image of a file decoded by Qt, in our A, R, G, B layout (not premultiplied).
inline ImageRef qtDecode(const std::string& path) {
    QImage image = QImageReader(QString::fromStdString(path)).read();
    if (image.isNull())
        return nullptr;
    image.convertTo(QImage::Format_RGBA8888);
    auto result = Image::create(image.width(), image.height());
    for (int y = 0; y < image.height(); ++y) {
        const std::uint8_t* row = image.constScanLine(y);
        std::uint8_t* out = result->pixels() + std::size_t(y) * image.width() * 4;
        for (int x = 0; x < 4 * image.width(); x += 4) {
            out[x] = row[x + 3];
            std::copy_n(row + x, 3, out + x + 1);
        }
    }
    return result;
}

// An image of pseudo-random bytes; alpha random too unless `opaque`.
inline ImageRef randomImage(int width, int height, unsigned seed, bool opaque = false) {
    auto image = Image::create(width, height);
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < std::size_t(width) * height * 4; ++i)
        image->pixels()[i] = (opaque && i % 4 == 0) ? 255 : std::uint8_t(random());
    return image;
}

// A smooth colour field with a little noise, as a photograph looks to a compressor; alpha varies
// smoothly too unless `opaque`.
inline ImageRef photoLikeImage(int width, int height, unsigned seed, bool opaque = true) {
    auto image = Image::create(width, height);
    std::mt19937 random(seed);
    std::uint8_t* p = image->pixels();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, p += 4) {
            const int noise = int(random() % 9) - 4;
            p[0] = opaque ? 255 : std::uint8_t((x + 2 * y) / 8);
            p[1] = std::uint8_t(std::clamp(128 + int(100 * std::sin(x * 0.01)) + noise, 0, 255));
            p[2] = std::uint8_t(std::clamp(128 + int(100 * std::cos(y * 0.013)) + noise, 0, 255));
            p[3] = std::uint8_t(std::clamp((x + y) % 256 + noise, 0, 255));
        }
    return image;
}

struct Difference {
    double meanAbs = 0;  // over the compared bytes
    int maxAbs = 0;
};

// Compares the red, green and blue bytes (and alpha when `withAlpha`) of two equal-size images.
inline Difference compare(const Image& a, const Image& b, bool withAlpha = false) {
    EXPECT_TRUE(a.width() == b.width());
    EXPECT_TRUE(a.height() == b.height());
    if (a.width() != b.width() || a.height() != b.height())
        return {1e9, 1 << 20};
    Difference d;
    const std::size_t bytes = std::size_t(a.width()) * a.height() * 4;
    for (std::size_t i = 0; i < bytes; ++i) {
        const int diff = i % 4 || withAlpha ? std::abs(a.pixels()[i] - b.pixels()[i]) : 0;
        d.meanAbs += diff;
        d.maxAbs = std::max(d.maxAbs, diff);
    }
    d.meanAbs = bytes ? d.meanAbs / double(withAlpha ? bytes : bytes / 4 * 3) : 0;
    return d;
}

inline bool allOpaque(const Image& image) {
    for (std::size_t i = 0; i < std::size_t(image.width()) * image.height(); ++i)
        if (image.pixels()[4 * i] != 255)
            return false;
    return true;
}

// coffee.png with its header claiming width × height pixels (the CRC made to match).
inline ByteBuffer pngClaiming(std::uint32_t width, std::uint32_t height) {
    ByteBuffer png = readBytes(dataPath("coffee.png"));
    auto put = [&](int at, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) png[at + k] = std::uint8_t(v >> (24 - 8 * k));
    };
    put(16, width);
    put(20, height);
    put(29, std::uint32_t(crc32(0, png.data() + 12, 17)));
    return png;
}

}  // namespace testsupport
