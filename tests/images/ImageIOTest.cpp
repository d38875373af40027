#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <zlib.h>

#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "ImageIO.h"
#include "ImageTestSupport.h"
#include "PngTestFiles.h"

using namespace testsupport;

namespace {

ImageIO& io() { return ImageIO::sharedInstance(); }

bool startsWith(const ByteBuffer& bytes, std::initializer_list<std::uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

const std::initializer_list<std::uint8_t> kPngSignature = {0x89, 'P', 'N', 'G'};

std::uint32_t big32(const ByteBuffer& b, std::size_t at) {
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 |
           std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}

struct Chunk {
    std::string type;
    ByteBuffer data;
};

std::vector<Chunk> pngChunks(const ByteBuffer& file) {
    std::vector<Chunk> chunks;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::uint32_t length = big32(file, at);
        Chunk chunk{std::string(file.begin() + at + 4, file.begin() + at + 8), {}};
        chunk.data.assign(file.begin() + at + 8, file.begin() + at + 8 + length);
        chunks.push_back(chunk);
        at += 12 + length;
    }
    return chunks;
}

}  // namespace

TEST(PngCodec, MemoryRoundTripIsExactAndOpaque) {
    const ImageRef original = randomImage(37, 23, 11);
    ByteBuffer stream;
    ASSERT_TRUE(io().writeImage(original, stream));
    ASSERT_TRUE(startsWith(stream, kPngSignature));
    const ImageRef decoded = io().readFromMemory(stream);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(compare(*original, *decoded).maxAbs, 0);
    EXPECT_TRUE(allAlpha(*decoded, 255));
}

TEST(PngCodec, FileRoundTripKeepsAlphaOnlyWhenAsked) {
    TempDir dir;
    const ImageRef original = randomImage(64, 17, 12);
    const std::string path = dir.file("rgba.png");
    ASSERT_TRUE(io().writeImage(original, path));

    // An independent decoder sees the same pixels, alpha included, not premultiplied.
    const ImageRef byQt = qtDecode(path);
    ASSERT_TRUE(byQt);
    EXPECT_EQ(compare(*original, *byQt, true).maxAbs, 0);

    const ImageRef withAlpha = io().readFromFilePng(path, false);
    ASSERT_TRUE(withAlpha);
    EXPECT_EQ(compare(*original, *withAlpha, true).maxAbs, 0);
    for (const ImageRef& opaque :
         {io().readFromFilePng(path), io().readFromFilePng(path, true), io().readFromFile(path)}) {
        ASSERT_TRUE(opaque);
        EXPECT_EQ(compare(*original, *opaque).maxAbs, 0);
        EXPECT_TRUE(allAlpha(*opaque, 255));
    }
}

TEST(PngCodec, OutputIsRgbaColourType6WithSrgbIntent3AtLevel3) {
    TempDir dir;
    auto pixel = Image::create(1, 1);
    const std::uint8_t argb[4] = {40, 10, 20, 30};
    std::memcpy(pixel->pixels(), argb, 4);
    const std::string path = dir.file("one.png");
    ASSERT_TRUE(io().writeImage(pixel, path));
    const ByteBuffer file = readBytes(path);
    ASSERT_TRUE(startsWith(file, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    const auto chunks = pngChunks(file);
    ASSERT_FALSE(chunks.empty());
    ASSERT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(big32(chunks[0].data, 0), 1u);
    EXPECT_EQ(chunks[0].data[8], 8);   // bit depth
    EXPECT_EQ(chunks[0].data[9], 6);   // RGB with alpha
    EXPECT_EQ(chunks[0].data[12], 0);  // not interlaced
    ByteBuffer idat;
    bool srgb = false;
    for (const Chunk& chunk : chunks) {
        if (chunk.type == "sRGB") {
            srgb = true;
            ASSERT_EQ(chunk.data.size(), 1u);
            EXPECT_EQ(chunk.data[0], 3);  // absolute colorimetric
        }
        if (chunk.type == "IDAT") idat.insert(idat.end(), chunk.data.begin(), chunk.data.end());
    }
    EXPECT_TRUE(srgb);
    EXPECT_EQ(chunks.back().type, "IEND");
    // zlib's header records the level class: 1 for levels 2 to 5.
    ASSERT_GE(idat.size(), 2u);
    EXPECT_EQ(idat[1] >> 6, 1);
    // A single pixel: every filter leaves the bytes as they are, so they must read R, G, B, A.
    std::uint8_t raw[5] = {};
    uLongf rawSize = sizeof raw;
    ASSERT_EQ(uncompress(raw, &rawSize, idat.data(), uLong(idat.size())), Z_OK);
    ASSERT_EQ(rawSize, 5u);
    EXPECT_EQ(raw[1], 10);
    EXPECT_EQ(raw[2], 20);
    EXPECT_EQ(raw[3], 30);
    EXPECT_EQ(raw[4], 40);
}

TEST(PngCodec, MemoryWriteAppendsAndPrintsStatistics) {
    const ImageRef image = randomImage(300, 200, 13, true);
    ByteBuffer stream = {1, 2, 3};
    testing::internal::CaptureStdout();
    ASSERT_TRUE(io().writeImage(image, stream));
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_GT(stream.size(), 3u);
    EXPECT_EQ(stream[0], 1);
    const ByteBuffer png(stream.begin() + 3, stream.end());
    const ImageRef decoded = io().readFromMemory(png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(compare(*image, *decoded).maxAbs, 0);

    // The statistics count the whole buffer, the three bytes that were there included.
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "wrote 300x200 images (0.1 MP) in %d bytes (%.1f MB), %.1f%% of original size, "
                  "took ",
                  int(stream.size()), stream.size() / 1048576.0, stream.size() * 100.0 / 180000);
    EXPECT_EQ(printed.rfind(expected, 0), 0u) << printed;
    EXPECT_TRUE(std::regex_search(printed, std::regex("took [0-9]+\\.[0-9]{2} seconds\n$")))
        << printed;
}

TEST(JpegCodec, RoundTripIsCloseAndQualityMatters) {
    TempDir dir;
    const ImageRef photo = io().readFromFile(dataPath("astronaut.png"));
    ASSERT_TRUE(photo);
    const std::string fine = dir.file("fine.jpg"), coarse = dir.file("coarse.jpg");
    ASSERT_TRUE(io().writeJpeg(photo, 95, fine));
    ASSERT_TRUE(io().writeImage(photo, "JPEG", 10, coarse));
    const ByteBuffer fineBytes = readBytes(fine), coarseBytes = readBytes(coarse);
    ASSERT_TRUE(startsWith(fineBytes, {0xFF, 0xD8}));
    EXPECT_LT(coarseBytes.size() * 3, fineBytes.size());

    tjhandle handle = tjInitDecompress();
    int w = 0, h = 0, subsampling = -1, colorspace = -1;
    ASSERT_EQ(tjDecompressHeader3(handle, fineBytes.data(), fineBytes.size(), &w, &h, &subsampling,
                                  &colorspace),
              0);
    tjDestroy(handle);
    EXPECT_EQ(w, 512);
    EXPECT_EQ(h, 512);
    EXPECT_EQ(subsampling, TJSAMP_420);

    const ImageRef decoded = io().readFromFileJpeg(fine);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(allAlpha(*decoded, 255));
    const Difference toOriginal = compare(*photo, *decoded);
    EXPECT_LT(toOriginal.meanAbs, 2.5);
    const Difference coarseToOriginal = compare(*photo, *io().readFromFileJpeg(coarse));
    EXPECT_GT(coarseToOriginal.meanAbs, toOriginal.meanAbs * 1.5);
    // Qt's JPEG decoder reads the same file to nearly the same pixels.
    const Difference toQt = compare(*qtDecode(fine), *decoded);
    EXPECT_LT(toQt.meanAbs, 1.0);
    EXPECT_LE(toQt.maxAbs, 16);
}

TEST(JpegCodec, SamplePhotoMatchesIndependentDecoder) {
    const ImageRef ours = io().readFromFileJpeg(dataPath("rocket.jpg"));
    ASSERT_TRUE(ours);
    EXPECT_EQ(ours->width(), 640);
    EXPECT_EQ(ours->height(), 427);
    EXPECT_TRUE(allAlpha(*ours, 255));
    const Difference d = compare(*qtDecode(dataPath("rocket.jpg")), *ours);
    EXPECT_LT(d.meanAbs, 1.0);
    EXPECT_LE(d.maxAbs, 16);
    std::string format;
    ASSERT_TRUE(io().readFromFile(dataPath("rocket.jpg"), format));
    EXPECT_EQ(format, "JPEG");
    EXPECT_FALSE(io().readFromFileJpeg(dataPath("coffee.png")));
}

namespace {

// The tags and pixel bytes of the first page of a little-endian TIFF (enough for our writer's).
struct ParsedTiff {
    std::map<int, std::vector<std::uint32_t>> tags;
    ByteBuffer pixels;
};

ParsedTiff parseTiff(const ByteBuffer& b) {
    auto u16 = [&](std::size_t at) { return std::uint32_t(b[at] | b[at + 1] << 8); };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    ParsedTiff page;
    const std::size_t directory = u32(4);
    for (std::uint32_t i = 0; i < u16(directory); ++i) {
        const std::size_t e = directory + 2 + 12 * i;
        const std::uint32_t type = u16(e + 2), count = u32(e + 4);
        const std::size_t size = type == 3 ? 2 : 4;
        const std::size_t at = count * size <= 4 ? e + 8 : u32(e + 8);
        auto& values = page.tags[int(u16(e))];
        for (std::uint32_t k = 0; k < count; ++k) {
            values.push_back(size == 2 ? u16(at + 2 * k) : u32(at + 4 * k));
        }
    }
    const auto& offsets = page.tags[273];
    const auto& counts = page.tags[279];
    for (std::size_t k = 0; k < offsets.size() && k < counts.size(); ++k) {
        page.pixels.insert(page.pixels.end(), b.begin() + offsets[k],
                           b.begin() + offsets[k] + counts[k]);
    }
    return page;
}

}  // namespace

TEST(TiffCodec, WritesUncompressedEightBitRgbaAndReadsBack) {
    TempDir dir;
    const ImageRef original = randomImage(45, 31, 14);
    const std::string path = dir.file("out.tiff");
    ASSERT_TRUE(io().writeImage(original, "TIFF", 50, path));
    const ByteBuffer bytes = readBytes(path);
    ASSERT_TRUE(startsWith(bytes, {'I', 'I', 42, 0}));
    ParsedTiff page = parseTiff(bytes);
    EXPECT_EQ(page.tags[256], std::vector<std::uint32_t>{45});
    EXPECT_EQ(page.tags[257], std::vector<std::uint32_t>{31});
    EXPECT_EQ(page.tags[258], (std::vector<std::uint32_t>{8, 8, 8, 8}));
    EXPECT_EQ(page.tags[277], std::vector<std::uint32_t>{4});
    EXPECT_EQ(page.tags[338], std::vector<std::uint32_t>{2});  // alpha not premultiplied
    EXPECT_EQ(page.tags[259], std::vector<std::uint32_t>{1});  // no compression
    EXPECT_EQ(page.pixels, original->rgbaBytes());

    // Read back through Qt: exact for opaque pixels. (Qt's TIFF reader premultiplies, so
    // translucent pixels would come back rounded.)
    const ImageRef opaque = randomImage(45, 31, 15, true);
    ASSERT_TRUE(io().writeImage(opaque, "TIFF", -1, path));
    std::string format;
    const ImageRef back = io().readFromFile(path, format);
    ASSERT_TRUE(back);
    EXPECT_EQ(format, "TIFF");
    EXPECT_EQ(compare(*opaque, *back, true).maxAbs, 0);
}

TEST(ImageWriter, TypeIsComparedExactly) {
    TempDir dir;
    const ImageRef image = randomImage(8, 8, 15, true);
    struct Case {
        const char* type;
        std::initializer_list<std::uint8_t> magic;
    } cases[] = {{"JPEG", {0xFF, 0xD8}}, {"jpeg", kPngSignature}, {"PNG", kPngSignature},
                 {"TIFF", {'I', 'I'}},   {"tiff", kPngSignature}, {"", kPngSignature}};
    int n = 0;
    for (const Case& c : cases) {
        const std::string path = dir.file("out" + std::to_string(n++));
        ASSERT_TRUE(io().writeImage(image, c.type, 80, path)) << c.type;
        EXPECT_TRUE(startsWith(readBytes(path), c.magic)) << c.type;
    }
}

TEST(SampleFiles, PngPhotosMatchIndependentDecoder) {
    for (const char* name : {"astronaut.png", "chelsea.png", "coffee.png"}) {
        std::string format;
        const ImageRef ours = io().readFromFile(dataPath(name), format);
        ASSERT_TRUE(ours) << name;
        EXPECT_EQ(format, "PNG");
        EXPECT_EQ(compare(*qtDecode(dataPath(name)), *ours).maxAbs, 0) << name;
        EXPECT_TRUE(allAlpha(*ours, 255));
    }
}

TEST(SampleFiles, GreyPngBecomesEqualRgb) {
    for (const char* name : {"camera.png", "clock_motion.png"}) {
        const ImageRef ours = io().readFromFilePng(dataPath(name));
        ASSERT_TRUE(ours) << name;
        const QImage grey = QImage(QString::fromStdString(dataPath(name)))
                                .convertToFormat(QImage::Format_Grayscale8);
        ASSERT_EQ(ours->width(), grey.width());
        ASSERT_EQ(ours->height(), grey.height());
        for (int y = 0; y < grey.height(); ++y) {
            for (int x = 0; x < grey.width(); ++x) {
                const std::uint8_t* p = pixelAt(*ours, x, y);
                const std::uint8_t g = grey.constScanLine(y)[x];
                ASSERT_EQ(p[0], 255);
                ASSERT_EQ(p[1], g);
                ASSERT_EQ(p[2], g);
                ASSERT_EQ(p[3], g);
            }
        }
    }
}

TEST(SampleFiles, PalettePngIsRefusedByPngReaderAndOpenedThroughQt) {
    for (const char* name : {"palette_color.png", "foo3x5x4indexed.png"}) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(io().readFromFilePng(dataPath(name)));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("bad row bytes: "), std::string::npos) << log;
        std::string format;
        const ImageRef image = io().readFromFile(dataPath(name), format);
        ASSERT_TRUE(image) << name;
        EXPECT_EQ(format, "PNG");
        EXPECT_EQ(compare(*qtDecode(dataPath(name)), *image).maxAbs, 0) << name;
        EXPECT_TRUE(allAlpha(*image, 255));
    }
}

TEST(SampleFiles, SixteenBitTiffAndGifThroughQt) {
    std::string format;
    const ImageRef tiff = io().readFromFile(dataPath("chessboard_GRAY_U16.tif"), format);
    ASSERT_TRUE(tiff);
    EXPECT_EQ(format, "TIFF");
    const QImage grey = QImage(QString::fromStdString(dataPath("chessboard_GRAY_U16.tif")))
                            .convertToFormat(QImage::Format_Grayscale8);
    ASSERT_EQ(tiff->width(), grey.width());
    ASSERT_EQ(tiff->height(), grey.height());
    int worst = 0;
    for (int y = 0; y < grey.height(); ++y) {
        for (int x = 0; x < grey.width(); ++x) {
            const std::uint8_t* p = pixelAt(*tiff, x, y);
            ASSERT_EQ(p[1], p[2]);
            ASSERT_EQ(p[2], p[3]);
            worst = std::max(worst, std::abs(int(p[1]) - int(grey.constScanLine(y)[x])));
        }
    }
    EXPECT_LE(worst, 1);

    const ImageRef gif = io().readFromFile(dataPath("no_time_for_that_tiny.gif"), format);
    ASSERT_TRUE(gif);
    EXPECT_EQ(format, "GIF");
    EXPECT_EQ(gif->width(), 14);
    EXPECT_EQ(gif->height(), 25);
    // The first frame, made opaque.
    ImageRef firstFrame = qtDecode(dataPath("no_time_for_that_tiny.gif"));
    EXPECT_EQ(compare(*firstFrame, *gif).maxAbs, 0);
    EXPECT_TRUE(allAlpha(*gif, 255));
}

TEST(SampleFiles, MultipageTiffGivesItsFirstPage) {
    TempDir dir;
    const std::string path = dir.file("pages.tif");
    writeBytes(path, multipageTiff({{12, 7, 200, 30, 40}, {5, 9, 1, 2, 250}}));
    ASSERT_EQ(QImageReader(QString::fromStdString(path)).imageCount(), 2);
    std::string format;
    const ImageRef image = io().readFromFile(path, format);
    ASSERT_TRUE(image);
    EXPECT_EQ(format, "TIFF");
    ASSERT_EQ(image->width(), 12);
    ASSERT_EQ(image->height(), 7);
    for (int i = 0; i < 12 * 7; ++i) {
        const std::uint8_t* p = image->pixels() + 4 * i;
        ASSERT_EQ(p[0], 255);
        ASSERT_EQ(p[1], 200);
        ASSERT_EQ(p[2], 30);
        ASSERT_EQ(p[3], 40);
    }
    // The sample multipage file has 64-bit float samples, which no decoder here reads.
    EXPECT_FALSE(io().readFromFile(dataPath("multipage_rgb.tif")));
}

TEST(SampleFiles, LibpngVariantsDecode) {
    TempDir dir;
    const int w = 19, h = 13;
    // 16-bit RGB, interlaced: strip keeps the high byte, filler gives alpha 255.
    std::vector<std::uint8_t> rgb16(std::size_t(w) * h * 6);
    for (std::size_t i = 0; i < rgb16.size(); ++i) rgb16[i] = std::uint8_t(i * 37 + 5);
    const std::string path16 = dir.file("rgb16.png");
    ASSERT_TRUE(writeWithLibpng(path16.c_str(), w, h, PNG_COLOR_TYPE_RGB, 16, true, rgb16.data(),
                                std::size_t(w) * 6));
    const ImageRef image16 = io().readFromFilePng(path16, false);
    ASSERT_TRUE(image16);
    for (int i = 0; i < w * h; ++i) {
        const std::uint8_t* p = image16->pixels() + 4 * i;
        ASSERT_EQ(p[0], 255);
        for (int c = 0; c < 3; ++c) ASSERT_EQ(p[1 + c], rgb16[6 * i + 2 * c]) << i;
    }
    // Grey with alpha: grey spread to R, G and B, alpha in front and kept when asked.
    std::vector<std::uint8_t> greyAlpha(std::size_t(w) * h * 2);
    for (std::size_t i = 0; i < greyAlpha.size(); ++i) greyAlpha[i] = std::uint8_t(i * 11 + 3);
    const std::string pathGa = dir.file("ga.png");
    ASSERT_TRUE(writeWithLibpng(pathGa.c_str(), w, h, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false,
                                greyAlpha.data(), std::size_t(w) * 2));
    const ImageRef imageGa = io().readFromFilePng(pathGa, false);
    ASSERT_TRUE(imageGa);
    for (int i = 0; i < w * h; ++i) {
        const std::uint8_t* p = imageGa->pixels() + 4 * i;
        ASSERT_EQ(p[0], greyAlpha[2 * i + 1]);
        for (int c = 1; c < 4; ++c) ASSERT_EQ(p[c], greyAlpha[2 * i]);
    }
    // Interlaced RGBA.
    const ImageRef original = randomImage(w, h, 16);
    const ByteBuffer rgba = original->rgbaBytes();
    const std::string pathI = dir.file("interlaced.png");
    ASSERT_TRUE(writeWithLibpng(pathI.c_str(), w, h, PNG_COLOR_TYPE_RGB_ALPHA, 8, true,
                                rgba.data(), std::size_t(w) * 4));
    const ImageRef imageI = io().readFromFilePng(pathI, false);
    ASSERT_TRUE(imageI);
    EXPECT_EQ(compare(*original, *imageI, true).maxAbs, 0);
}

TEST(SampleFiles, WhatNothingDecodesGivesNull) {
    EXPECT_FALSE(io().readFromFile(dataPath("README.md")));
    EXPECT_FALSE(io().readFromFile(dataPath("does-not-exist.png")));
    // The truncated sample stops inside its Huffman tables: neither TurboJPEG nor Qt's reader
    // gets an image out of it.
    EXPECT_FALSE(io().readFromFileJpeg(dataPath("truncated.jpg")));
    EXPECT_FALSE(io().readFromFile(dataPath("truncated.jpg")));
}

TEST(ImageIOExtensions, OwnFormatsFirstThenQtsEachOnce) {
    const std::vector<std::string> extensions = io().supportedExtensions();
    ASSERT_GE(extensions.size(), 3u);
    EXPECT_EQ(extensions[0], "jpg");
    EXPECT_EQ(extensions[1], "jpeg");
    EXPECT_EQ(extensions[2], "png");
    for (const char* expected : {"tif", "tiff", "gif", "bmp"}) {
        EXPECT_NE(std::find(extensions.begin(), extensions.end(), expected), extensions.end())
            << expected;
    }
    std::vector<std::string> sorted = extensions;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
}

namespace {

// Runs the dumps in a fresh working directory and returns the one file they left.
class DumpTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getcwd(mOldCwd, sizeof mOldCwd));
        ASSERT_EQ(chdir(mDir.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(mOldCwd), 0); }

    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(mDir.path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<int> greyLevels(const std::string& name) const {
        const ImageRef image = io().readFromFilePng(mDir.file(name), false);
        std::vector<int> levels;
        if (!image) return levels;
        for (int i = 0; i < image->width() * image->height(); ++i) {
            const std::uint8_t* p = image->pixels() + 4 * i;
            EXPECT_EQ(p[0], 255);
            EXPECT_EQ(p[1], p[2]);
            EXPECT_EQ(p[2], p[3]);
            levels.push_back(p[1]);
        }
        return levels;
    }

    TempDir mDir;
    char mOldCwd[4096] = {};
};

int dumpNumber(const std::string& name) { return std::stoi(name.substr(0, name.find('-'))); }

}  // namespace

TEST_F(DumpTest, NormalisedFloatDumpScalesTheLargestSampleTo255) {
    const float samples[4] = {0, 0.5f, 1, 2};
    DumpRawImageFloat(samples, 2, 2, 1, "kernel_%d", 7);
    const auto names = files();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex("[0-9]+-kernel_7-2\\.000\\.png")))
        << names[0];
    EXPECT_EQ(greyLevels(names[0]), (std::vector<int>{0, 63, 127, 255}));
}

TEST_F(DumpTest, DoubleAndPlainDumpsAndTheCounter) {
    const double samples[4] = {0, 0.5, 1, 2};
    DumpRawImageDouble(samples, 4, 1, 1, "a");
    DumpRawImageDouble(samples, 2, 2, 0, "b%s", "x");
    const double dark[3] = {0, -1, 0};
    DumpRawImageDouble(dark, 3, 1, 1, "zero");
    const auto names = files();
    ASSERT_EQ(names.size(), 3u);
    std::string a, b, zero;
    for (const std::string& name : names) {
        if (name.find("-a-") != std::string::npos) a = name;
        if (name.find("-bx") != std::string::npos) b = name;
        if (name.find("-zero-") != std::string::npos) zero = name;
    }
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9]+-a-2\\.000\\.png"))) << a;
    EXPECT_TRUE(std::regex_match(b, std::regex("[0-9]+-bx\\.png"))) << b;
    EXPECT_TRUE(std::regex_match(zero, std::regex("[0-9]+-zero-0\\.000\\.png"))) << zero;
    EXPECT_EQ(dumpNumber(b), dumpNumber(a) + 1);
    EXPECT_EQ(dumpNumber(zero), dumpNumber(b) + 1);
    EXPECT_EQ(greyLevels(a), (std::vector<int>{0, 63, 127, 255}));
    EXPECT_EQ(greyLevels(b), (std::vector<int>{0, 127, 255, 255}));  // 1 maps to 255, 2 clamps
    EXPECT_EQ(greyLevels(zero), (std::vector<int>{0, 0, 0}));
}

TEST(PngCodec, EncodesAndDecodesOnManyThreadsAtOnce) {
    std::vector<ImageRef> images;
    for (int t = 0; t < 4; ++t) images.push_back(randomImage(120 + t, 90, 100 + t));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 6; ++round) {
                ByteBuffer stream;
                if (!io().writeImage(images[t], stream)) ++failures;
                const ImageRef back = io().readFromMemory(stream);
                if (!back || back->width() != images[t]->width()) {
                    ++failures;
                    continue;
                }
                for (std::size_t i = 0; i < std::size_t(back->width()) * back->height(); ++i) {
                    if (std::memcmp(back->pixels() + 4 * i + 1, images[t]->pixels() + 4 * i + 1,
                                    3) != 0) {
                        ++failures;
                        break;
                    }
                }
                // JPEG reads share the TurboJPEG handle; they must not trample each other.
                const ImageRef jpeg = io().readFromFileJpeg(dataPath("rocket.jpg"));
                if (!jpeg || jpeg->width() != 640) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}
