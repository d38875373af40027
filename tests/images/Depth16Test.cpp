// Photographs of 16 bits a sample: PNG and TIFF files made by libpng and libtiff directly (every
// channel layout, both TIFF layouts, each compression) are read exactly, written back at 16 bits
// as Qt decodes them, and damaged ones are refused.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <QImage>
#include <QImageReader>
#include <random>

#include "ImageIO.h"
#include "ImageTestSupport.h"

using namespace velkaro;
using namespace testsupport;

namespace {

// Every level of a 16-bit sample appears somewhere: pseudo-random words per channel.
std::vector<std::uint16_t> randomSamples(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::uint16_t> samples(count);
    for (auto& s : samples) s = std::uint16_t(random());
    return samples;
}

// A PNG of `channels` interleaved 16-bit samples (1 grey, 2 grey + alpha, 3 RGB, 4 RGBA) written
// by libpng itself.
void writeReferencePng(const std::string& path, int w, int h, int channels,
                       const std::vector<std::uint16_t>& samples, bool interlace) {
    static constexpr int kTypes[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                                     PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(file);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, w, h, 16, kTypes[channels],
                 interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    ByteBuffer bytes(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        bytes[2 * i] = std::uint8_t(samples[i] >> 8);
        bytes[2 * i + 1] = std::uint8_t(samples[i]);
    }
    std::vector<png_bytep> rows(h);
    for (int y = 0; y < h; ++y) rows[y] = &bytes[std::size_t(y) * w * channels * 2];
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

// A TIFF of `channels` 16-bit samples written by libtiff itself, contiguous or planar.
void writeReferenceTiff(const std::string& path, int w, int h, int channels,
                        const std::vector<std::uint16_t>& samples, bool planar,
                        std::uint16_t compression, bool bigEndian) {
    TIFF* tiff = TIFFOpen(path.c_str(), bigEndian ? "wb" : "wl");
    ASSERT_TRUE(tiff);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, std::uint32_t(w));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, std::uint32_t(h));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, channels);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 7);
    if (channels == 2 || channels == 4) {
        const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    std::vector<std::uint16_t> row(std::size_t(w) * channels);
    for (int plane = 0; plane < (planar ? channels : 1); ++plane)
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < channels; ++c)
                    if (!planar)
                        row[std::size_t(x) * channels + c] =
                            samples[(std::size_t(y) * w + x) * channels + c];
                    else if (c == plane)
                        row[x] = samples[(std::size_t(y) * w + x) * channels + c];
            ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), y, std::uint16_t(plane)), 1);
        }
    TIFFClose(tiff);
}

// The A, R, G, B samples a reader should give for `channels` file samples: grey repeated, alpha
// made opaque.
std::vector<std::uint16_t> expectedArgb(const std::vector<std::uint16_t>& samples, int channels) {
    const std::size_t n = samples.size() / channels;
    std::vector<std::uint16_t> argb(n * 4, 65535);
    for (std::size_t i = 0; i < n; ++i)
        for (int c = 1; c <= 3; ++c)
            argb[4 * i + c] = samples[i * channels + (channels >= 3 ? c - 1 : 0)];
    return argb;
}

std::vector<std::uint16_t> samplesOf(const Image& image) {
    const auto* p = reinterpret_cast<const std::uint16_t*>(image.pixels());
    return {p, p + std::size_t(image.width()) * image.height() * 4};
}

// The file as Qt decodes it at 16 bits a sample, A, R, G, B.
std::vector<std::uint16_t> qtDecode16(const std::string& path) {
    QImage image = QImageReader(QString::fromStdString(path)).read();
    if (image.isNull())
        return {};
    image.convertTo(QImage::Format_RGBA64);
    std::vector<std::uint16_t> argb;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const std::uint16_t*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            argb.insert(argb.end(), {row[4 * x + 3], row[4 * x], row[4 * x + 1], row[4 * x + 2]});
    }
    return argb;
}

}  // namespace

TEST(Depth16, PngAndTiffOfEveryLayoutReadExactlyAndWrittenBackAtSixteenBits) {
    TempDir dir;
    struct Case {
        const char* name;
        bool tiff;
        int channels;
        bool planar;  // TIFF; interlaced for PNG
        std::uint16_t compression;
        bool bigEndian;
    };
    const Case cases[] = {
        {"grey.png", false, 1, false, 0, true},
        {"grey-alpha.png", false, 2, false, 0, true},
        {"rgb.png", false, 3, false, 0, true},
        {"rgba-interlaced.png", false, 4, true, 0, true},
        {"chunky-none.tif", true, 3, false, COMPRESSION_NONE, false},
        {"chunky-lzw.tif", true, 3, false, COMPRESSION_LZW, true},
        {"chunky-deflate-rgba.tif", true, 4, false, COMPRESSION_ADOBE_DEFLATE, false},
        {"planar-none.tif", true, 3, true, COMPRESSION_NONE, true},
        {"planar-lzw-grey-alpha.tif", true, 2, true, COMPRESSION_LZW, false},
        {"planar-deflate.tif", true, 3, true, COMPRESSION_ADOBE_DEFLATE, false},
        {"grey-deflate.tif", true, 1, false, COMPRESSION_ADOBE_DEFLATE, true},
    };
    const int w = 37, h = 23;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto samples = randomSamples(std::size_t(w) * h * c.channels, unsigned(c.channels));
        const std::string path = dir.file(c.name);
        if (c.tiff)
            writeReferenceTiff(path, w, h, c.channels, samples, c.planar, c.compression,
                               c.bigEndian);
        else
            writeReferencePng(path, w, h, c.channels, samples, c.planar);
        std::string format;
        const ImageRef image = ImageIO::sharedInstance().readFromFile(path, format);
        ASSERT_TRUE(image);
        EXPECT_EQ(format, c.tiff ? "TIFF" : "PNG");
        ASSERT_EQ(image->depth(), 16);
        ASSERT_EQ(samplesOf(*image), expectedArgb(samples, c.channels));

        // Written by us at the image's own depth, in both formats: Qt reads the same words, and
        // so do we.
        for (const char* type : {"PNG", "TIFF"}) {
            ImageWriteOptions options;
            options.type = type;
            const std::string out = dir.file(std::string("out-") + c.name + "." + type);
            ASSERT_TRUE(ImageIO::sharedInstance().writeImage(image, options, out));
            EXPECT_EQ(qtDecode16(out), samplesOf(*image)) << type;
            const ImageRef again = ImageIO::sharedInstance().readFromFile(out);
            ASSERT_TRUE(again && again->depth() == 16);
            EXPECT_EQ(samplesOf(*again), samplesOf(*image)) << type;
        }
    }
    // The same photograph asked for at 8 bits is every level rounded, and JPEG is 8-bit anyway.
    const auto samples = randomSamples(std::size_t(w) * h * 3, 5);
    writeReferencePng(dir.file("rgb.png"), w, h, 3, samples, false);
    const ImageRef image = ImageIO::sharedInstance().readFromFile(dir.file("rgb.png"));
    ImageWriteOptions eight;
    eight.depth = 8;
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(image, eight, dir.file("eight.png")));
    const ImageRef narrow = ImageIO::sharedInstance().readFromFile(dir.file("eight.png"));
    ASSERT_TRUE(narrow && narrow->depth() == 8);
    for (std::size_t i = 0; i < std::size_t(w) * h; ++i)
        for (int c = 1; c <= 3; ++c)
            ASSERT_EQ(narrow->pixels()[4 * i + c],
                      int(std::lround(samples[3 * i + c - 1] / 257.0)));
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(image, "JPEG", 95, dir.file("photo.jpg")));
    EXPECT_EQ(readBytes(dir.file("photo.jpg")).at(0), 0xFF);
}

TEST(Depth16, SampleTiffMatchesQtAtSixteenBits) {
    const std::string path = dataPath("chessboard_GRAY_U16.tif");
    const ImageRef image = ImageIO::sharedInstance().readFromFile(path);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->depth(), 16);
    EXPECT_EQ(samplesOf(*image), qtDecode16(path));
}

TEST(Depth16, DamagedSixteenBitFilesAreRefusedAndLeftAsTheyWere) {
    TempDir dir;
    const int w = 64, h = 48;
    const auto samples = randomSamples(std::size_t(w) * h * 3, 9);
    writeReferencePng(dir.file("good.png"), w, h, 3, samples, false);
    writeReferenceTiff(dir.file("good.tif"), w, h, 3, samples, false, COMPRESSION_NONE, false);
    writeReferenceTiff(dir.file("good-lzw.tif"), w, h, 3, samples, true, COMPRESSION_LZW, false);
    const ByteBuffer png = readBytes(dir.file("good.png"));
    const ByteBuffer tiff = readBytes(dir.file("good.tif"));
    const ByteBuffer lzw = readBytes(dir.file("good-lzw.tif"));

    // A classic little-endian TIFF with its one directory at the end: the header's width, read
    // as a LONG or a SHORT entry, claims another size.
    auto claimingWidth = [](ByteBuffer bytes, std::uint32_t width) {
        const std::uint32_t ifd = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | bytes[7] << 24;
        const int entries = bytes[ifd] | bytes[ifd + 1] << 8;
        for (int e = 0; e < entries; ++e) {
            std::uint8_t* entry = &bytes[ifd + 2 + 12 * e];
            if ((entry[0] | entry[1] << 8) == TIFFTAG_IMAGEWIDTH) {
                entry[2] = 4, entry[3] = 0;  // LONG
                for (int k = 0; k < 4; ++k) entry[8 + k] = std::uint8_t(width >> (8 * k));
            }
        }
        return bytes;
    };
    struct Case {
        const char* name;
        ByteBuffer bytes;
        ReadFailure failure;
    };
    const Case cases[] = {
        {"truncated.png", ByteBuffer(png.begin(), png.begin() + png.size() / 2),
         ReadFailure::NotAnImage},
        {"truncated.tif", ByteBuffer(tiff.begin(), tiff.begin() + tiff.size() / 2),
         ReadFailure::NotAnImage},
        {"truncated-lzw.tif", ByteBuffer(lzw.begin(), lzw.begin() + lzw.size() / 2),
         ReadFailure::NotAnImage},
        {"wider.tif", claimingWidth(tiff, 4 * w), ReadFailure::NotAnImage},
        {"huge.tif", claimingWidth(tiff, 1u << 30), ReadFailure::TooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        writeBytes(path, c.bytes);
        std::string format;
        ReadFailure failure = ReadFailure::None;
        EXPECT_FALSE(ImageIO::sharedInstance().readFromFile(path, format, failure));
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(readBytes(path), c.bytes);
    }
}
