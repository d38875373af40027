#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <QImageReader>

#include <algorithm>
#include <cstring>
#include <filesystem>
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

}  // namespace

TEST(PngCodec, MemoryWriteAppendsIsExactOpaqueAndPrintsStatistics) {
    const ImageRef image = randomImage(300, 200, 13);
    ByteBuffer stream = {1, 2, 3};
    testing::internal::CaptureStdout();
    ASSERT_TRUE(io().writeImage(image, stream));
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(startsWith(stream, {1, 2, 3, 0x89, 'P', 'N', 'G'}));
    const ImageRef decoded = io().readFromMemory(ByteBuffer(stream.begin() + 3, stream.end()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(compare(*image, *decoded).maxAbs, 0);
    EXPECT_TRUE(allOpaque(*decoded));

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

TEST(PngCodec, FileIsRgbaWithSrgbIntentAtLevel3AndKeepsAlphaOnlyWhenAsked) {
    TempDir dir;
    const ImageRef original = randomImage(64, 17, 12);
    const std::string path = dir.file("rgba.png");
    ASSERT_TRUE(io().writeImage(original, path));
    const ByteBuffer file = readBytes(path);
    ASSERT_GT(file.size(), 33u);
    EXPECT_EQ(std::string(file.begin() + 12, file.begin() + 16), "IHDR");  // first chunk
    EXPECT_EQ(file[24], 8);                                                // bit depth
    EXPECT_EQ(file[25], 6);                                                // RGB with alpha
    EXPECT_EQ(file[28], 0);                                                // not interlaced
    const std::string text(file.begin(), file.end());
    const std::size_t srgb = text.find("sRGB"), idat = text.find("IDAT");
    ASSERT_NE(srgb, std::string::npos);
    EXPECT_EQ(file[srgb + 4], 3);  // absolute colorimetric
    ASSERT_NE(idat, std::string::npos);
    EXPECT_EQ(file[idat + 5] >> 6, 1);  // zlib's level class: 1 for levels 2 to 5

    // An independent decoder sees the same pixels, alpha included, not premultiplied.
    EXPECT_EQ(compare(*original, *qtDecode(path), true).maxAbs, 0);
    const ImageRef withAlpha = io().readFromFilePng(path, false);
    ASSERT_TRUE(withAlpha);
    EXPECT_EQ(compare(*original, *withAlpha, true).maxAbs, 0);
    for (const ImageRef& opaque : {io().readFromFilePng(path), io().readFromFile(path)}) {
        ASSERT_TRUE(opaque);
        EXPECT_EQ(compare(*original, *opaque).maxAbs, 0);
        EXPECT_TRUE(allOpaque(*opaque));
    }
}

TEST(PngCodec, LibpngVariantsDecodeAsQtDecodesThem) {
    // 16-bit RGB interlaced (the high byte kept), grey with alpha, interlaced RGBA.
    TempDir dir;
    const int w = 19, h = 13;
    struct Variant {
        int colorType, bitDepth, bytesPerPixel;
        bool interlaced;
    };
    for (const Variant& v : {Variant{PNG_COLOR_TYPE_RGB, 16, 6, true},
                             Variant{PNG_COLOR_TYPE_GRAY_ALPHA, 8, 2, false},
                             Variant{PNG_COLOR_TYPE_RGB_ALPHA, 8, 4, true}}) {
        std::vector<std::uint8_t> rows(std::size_t(w) * h * v.bytesPerPixel);
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = std::uint8_t(i * 37 + 5);
        const std::string path = dir.file("variant" + std::to_string(v.colorType) + ".png");
        ASSERT_TRUE(writeWithLibpng(path.c_str(), w, h, v.colorType, v.bitDepth, v.interlaced,
                                    rows.data(), std::size_t(w) * v.bytesPerPixel));
        const ImageRef ours = io().readFromFilePng(path, false);
        ASSERT_TRUE(ours) << path;
        // Qt rounds 16-bit samples where we keep the high byte.
        EXPECT_LE(compare(*qtDecode(path), *ours, true).maxAbs, v.bitDepth == 16 ? 1 : 0) << path;
    }
}

TEST(JpegCodec, RoundTripIsCloseAndQualityMatters) {
    TempDir dir;
    const ImageRef photo = io().readFromFile(dataPath("astronaut.png"));
    ASSERT_TRUE(photo);
    const std::string fine = dir.file("fine.jpg"), coarse = dir.file("coarse.jpg");
    ASSERT_TRUE(io().writeJpeg(photo, 95, fine));
    ASSERT_TRUE(io().writeImage(photo, "JPEG", 10, coarse));
    const ByteBuffer fineBytes = readBytes(fine);
    EXPECT_LT(readBytes(coarse).size() * 3, fineBytes.size());

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
    EXPECT_TRUE(allOpaque(*decoded));
    const Difference toOriginal = compare(*photo, *decoded);
    EXPECT_LT(toOriginal.meanAbs, 2.5);
    EXPECT_GT(compare(*photo, *io().readFromFileJpeg(coarse)).meanAbs, toOriginal.meanAbs * 1.5);
}

TEST(TiffCodec, WritesRgbaWithUnassociatedAlphaThatQtReadsBack) {
    TempDir dir;
    const std::string path = dir.file("out.tiff");
    // Opaque pixels come back exactly, through readFromFile's platform route.
    const ImageRef opaque = randomImage(45, 31, 15, true);
    ASSERT_TRUE(io().writeImage(opaque, "TIFF", -1, path));
    ASSERT_TRUE(startsWith(readBytes(path), {'I', 'I', 42, 0}));
    std::string format;
    const ImageRef back = io().readFromFile(path, format);
    ASSERT_TRUE(back);
    EXPECT_EQ(format, "TIFF");
    EXPECT_EQ(compare(*opaque, *back, true).maxAbs, 0);
    // Translucent pixels keep their alpha and unpremultiplied colour (Qt premultiplies on
    // reading, so colours come back within its rounding where alpha is not small).
    const ImageRef translucent = randomImage(45, 31, 14);
    ASSERT_TRUE(io().writeImage(translucent, "TIFF", 50, path));
    const ImageRef byQt = qtDecode(path);
    ASSERT_TRUE(byQt);
    for (int i = 0; i < 45 * 31; ++i) {
        const std::uint8_t* p = translucent->pixels() + 4 * i;
        const std::uint8_t* q = byQt->pixels() + 4 * i;
        ASSERT_EQ(p[0], q[0]) << i;
        for (int c = 1; c < 4 && p[0] >= 128; ++c) ASSERT_LE(std::abs(p[c] - q[c]), 2) << i;
    }
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

TEST(SampleFiles, MatchTheIndependentDecoder) {
    struct Sample {
        const char* name;
        const char* format;
        int tolerance;
    };
    // Photographs, grey PNGs, palette PNGs and a GIF (its first frame) through readFromFile;
    // JPEG decoders may round differently, a 16-bit TIFF is brought to 8 bits by each its way.
    for (const Sample& s : {Sample{"astronaut.png", "PNG", 0}, Sample{"chelsea.png", "PNG", 0},
                            Sample{"coffee.png", "PNG", 0}, Sample{"camera.png", "PNG", 0},
                            Sample{"clock_motion.png", "PNG", 0},
                            Sample{"palette_color.png", "PNG", 0},
                            Sample{"foo3x5x4indexed.png", "PNG", 0},
                            Sample{"no_time_for_that_tiny.gif", "GIF", 0},
                            Sample{"chessboard_GRAY_U16.tif", "TIFF", 1},
                            Sample{"rocket.jpg", "JPEG", 16}}) {
        std::string format;
        const ImageRef ours = io().readFromFile(dataPath(s.name), format);
        ASSERT_TRUE(ours) << s.name;
        EXPECT_EQ(format, s.format) << s.name;
        const Difference d = compare(*qtDecode(dataPath(s.name)), *ours);
        EXPECT_LE(d.maxAbs, s.tolerance) << s.name;
        EXPECT_LT(d.meanAbs, 1.0) << s.name;
        EXPECT_TRUE(allOpaque(*ours)) << s.name;
    }
    // Palette PNGs are refused by our own PNG reader, with its log line; JPEG's reader refuses
    // a PNG.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromFilePng(dataPath("palette_color.png")));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("bad row bytes: "), std::string::npos);
    EXPECT_FALSE(io().readFromFileJpeg(dataPath("coffee.png")));
    // Text, a missing file, the truncated sample (it stops inside its Huffman tables) and the
    // multipage sample (64-bit float samples, which no decoder here reads) give null.
    for (const char* name :
         {"README.md", "does-not-exist.png", "truncated.jpg", "multipage_rgb.tif"})
        EXPECT_FALSE(io().readFromFile(dataPath(name))) << name;
    EXPECT_FALSE(io().readFromFileJpeg(dataPath("truncated.jpg")));
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
    for (int i = 0; i < 12 * 7; ++i)
        ASSERT_EQ(std::memcmp(image->pixels() + 4 * i, "\xFF\xC8\x1E\x28", 4), 0) << i;
}

TEST(ImageIOExtensions, OwnFormatsFirstThenQtsEachOnce) {
    const std::vector<std::string> extensions = io().supportedExtensions();
    ASSERT_GE(extensions.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(extensions.begin(), extensions.begin() + 3),
              (std::vector<std::string>{"jpg", "jpeg", "png"}));
    for (const char* expected : {"tif", "tiff", "gif", "bmp"})
        EXPECT_NE(std::find(extensions.begin(), extensions.end(), expected), extensions.end());
    std::vector<std::string> sorted = extensions;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
}

TEST(DebugDumps, NamesCounterAndGreyLevels) {
    TempDir dir;
    char oldCwd[4096];
    ASSERT_TRUE(getcwd(oldCwd, sizeof oldCwd));
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const float floats[4] = {0, 0.5f, 1, 2};
    const double doubles[4] = {0, 0.5, 1, 2}, dark[3] = {0, -1, 0};
    DumpRawImageFloat(floats, 2, 2, 1, "kernel_%d", 7);  // the largest sample maps to 255
    DumpRawImageDouble(doubles, 2, 2, 0, "b%s", "x");    // 1 maps to 255, 2 clamps
    DumpRawImageDouble(dark, 3, 1, 1, "zero");
    ASSERT_EQ(chdir(oldCwd), 0);
    struct Expected {
        const char* pattern;
        std::vector<int> levels;
    } expected[] = {{"([0-9]+)-kernel_7-2\\.000\\.png", {0, 63, 127, 255}},
                    {"([0-9]+)-bx\\.png", {0, 127, 255, 255}},
                    {"([0-9]+)-zero-0\\.000\\.png", {0, 0, 0}}};
    int previous = -1, found = 0;
    for (const Expected& e : expected)
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            std::smatch match;
            const std::string name = entry.path().filename().string();
            if (!std::regex_match(name, match, std::regex(e.pattern))) continue;
            ++found;
            EXPECT_TRUE(previous < 0 || std::stoi(match[1]) == previous + 1) << name;
            previous = std::stoi(match[1]);
            const ImageRef image = io().readFromFilePng(entry.path().string(), false);
            ASSERT_TRUE(image);
            std::vector<int> levels;
            for (int i = 0; i < image->width() * image->height(); ++i) {
                const std::uint8_t* p = image->pixels() + 4 * i;
                EXPECT_TRUE(p[0] == 255 && p[1] == p[2] && p[2] == p[3]) << name;
                levels.push_back(p[1]);
            }
            EXPECT_EQ(levels, e.levels) << name;
        }
    EXPECT_EQ(found, 3);
}

TEST(PngCodec, EncodesAndDecodesOnManyThreadsAtOnce) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const ImageRef image = randomImage(120 + t, 90, 100 + t);
            for (int round = 0; round < 6; ++round) {
                ByteBuffer stream;
                if (!io().writeImage(image, stream)) ++failures;
                const ImageRef back = io().readFromMemory(stream);
                if (!back || back->width() != image->width() || compare(*image, *back).maxAbs)
                    ++failures;
                // JPEG reads share the TurboJPEG handle; they must not trample each other.
                const ImageRef jpeg = io().readFromFileJpeg(dataPath("rocket.jpg"));
                if (!jpeg || jpeg->width() != 640) ++failures;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}
