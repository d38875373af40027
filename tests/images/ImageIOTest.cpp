// Encoders and decoders against independent ones; bad input and failed writes: refused,
// reported, never a crash, never a lost file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

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

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(PngCodec, MemoryWriteAppendsIsExactOpaqueAndPrintsStatistics) {
    const ImageRef image = randomImage(300, 200, 13);
    ByteBuffer stream = {1, 2, 3};
    testing::internal::CaptureStderr();
    ASSERT_TRUE(io().writeImage(image, stream));
    const std::string printed = testing::internal::GetCapturedStderr();
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
    for (const Variant& v :
         {Variant{PNG_COLOR_TYPE_RGB, 16, 6, true}, Variant{PNG_COLOR_TYPE_GRAY_ALPHA, 8, 2, false},
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
    for (const Sample& s :
         {Sample{"astronaut.png", "PNG", 0}, Sample{"chelsea.png", "PNG", 0},
          Sample{"coffee.png", "PNG", 0}, Sample{"camera.png", "PNG", 0},
          Sample{"clock_motion.png", "PNG", 0}, Sample{"palette_color.png", "PNG", 0},
          Sample{"foo3x5x4indexed.png", "PNG", 0}, Sample{"no_time_for_that_tiny.gif", "GIF", 0},
          Sample{"chessboard_GRAY_U16.tif", "TIFF", 1}, Sample{"rocket.jpg", "JPEG", 16}}) {
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
    const double doubles[4] = {0, 0.5, 1, 2}, dark[4] = {0, -1, 0, 0};
    DumpRawImageFloat(floats, 2, 2, 1, "kernel_%d", 7);  // the largest sample maps to 255
    DumpRawImageDouble(doubles, 2, 2, 0, "b%s", "x");    // 1 maps to 255, 2 clamps
    DumpRawImageDouble(dark, 2, 2, 1, "zero");           // nothing above 0: all black
    ASSERT_EQ(chdir(oldCwd), 0);
    const std::vector<std::string> names = entries(dir.path());
    ASSERT_EQ(names.size(), 3u);
    const char* patterns[3] = {"([0-9]+)-kernel_7-2\\.000\\.png", "([0-9]+)-bx\\.png",
                               "([0-9]+)-zero-0\\.000\\.png"};
    const std::vector<int> levels[3] = {{0, 63, 127, 255}, {0, 127, 255, 255}, {0, 0, 0, 0}};
    int first = -1;
    for (int k = 0; k < 3; ++k) {
        std::smatch m;
        const auto name = std::find_if(names.begin(), names.end(), [&](const std::string& n) {
            return std::regex_match(n, m, std::regex(patterns[k]));
        });
        ASSERT_NE(name, names.end()) << patterns[k];
        if (k == 0) first = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[1]), first + k) << *name;  // the counter counts every dump
        const ImageRef image = io().readFromFilePng(dir.file(*name), false);
        ASSERT_TRUE(image);
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t* p = image->pixels() + 4 * i;
            EXPECT_TRUE(p[0] == 255 && p[1] == levels[k][i] && p[2] == p[1] && p[3] == p[1]) << i;
        }
    }
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

TEST(ReadLimits, HeadersClaimingTooManyPixelsAreRefused) {
    TempDir dir;
    const ByteBuffer png = pngClaiming(100000, 100000);
    const std::string pngPath = dir.file("huge.png");
    writeBytes(pngPath, png);
    // rocket.jpg with its baseline frame header claiming 60000 × 60000.
    ByteBuffer jpeg = readBytes(dataPath("rocket.jpg"));
    const std::uint8_t sof0[] = {0xFF, 0xC0};
    const auto sof = std::search(jpeg.begin() + 2, jpeg.end(), sof0, sof0 + 2);
    ASSERT_NE(sof, jpeg.end());
    sof[5] = sof[7] = 60000 >> 8;
    sof[6] = sof[8] = 60000 & 0xFF;
    const std::string jpegPath = dir.file("huge.jpg");
    writeBytes(jpegPath, jpeg);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromFilePng(pngPath));
    EXPECT_FALSE(io().readFromMemory(png));
    EXPECT_FALSE(io().readFromFile(pngPath));
    EXPECT_FALSE(io().readFromFileJpeg(jpegPath));
    EXPECT_FALSE(io().readFromFile(jpegPath));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(
        contains(log, "image of 100000x100000 pixels exceeds the limit of 268435456 pixels"))
        << log;
    EXPECT_TRUE(contains(log, "image of 60000x60000 pixels exceeds the limit")) << log;
    // A plausible size passes the header; the missing data is what fails.
    EXPECT_FALSE(io().readFromMemory(pngClaiming(3000, 2000)));
}

TEST(BadInput, EmptyTruncatedAndBrokenInputGiveNullOrAWholeImage) {
    TempDir dir;
    const std::string empty = dir.file("empty.png");
    writeBytes(empty, {});
    EXPECT_FALSE(io().readFromFile(empty));
    EXPECT_FALSE(io().readFromFilePng(empty));
    EXPECT_FALSE(io().readFromFileJpeg(empty));
    EXPECT_FALSE(io().readFromMemory({}));

    const ByteBuffer png = readBytes(dataPath("coffee.png"));
    const std::string cutPng = dir.file("cut.png");
    writeBytes(cutPng, ByteBuffer(png.begin(), png.begin() + png.size() / 2));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromFilePng(cutPng));
    EXPECT_FALSE(io().readFromMemory(ByteBuffer(png.begin(), png.end() - 5000)));
    std::string err = testing::internal::GetCapturedStderr();
    const std::string& out = err;
    EXPECT_TRUE(contains(out, "my_png_read_data past end")) << out;
    EXPECT_TRUE(contains(err, "[read_png_file] Error during read_image")) << err;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromMemory(readBytes(dataPath("rocket.jpg"))));
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "[read_png_file] Error during init_io")) << err;

    // TurboJPEG reports the early end and our JPEG reader refuses the file; readFromFile then
    // gets Qt's reading of it: the rows that were there, the rest filled in.
    const ByteBuffer jpeg = readBytes(dataPath("rocket.jpg"));
    const std::string cutJpeg = dir.file("cut.jpg");
    writeBytes(cutJpeg, ByteBuffer(jpeg.begin(), jpeg.begin() + jpeg.size() * 6 / 10));
    EXPECT_FALSE(io().readFromFileJpeg(cutJpeg));
    const ImageRef partial = io().readFromFile(cutJpeg);
    ASSERT_TRUE(partial);
    ASSERT_EQ(partial->width(), 640);
    ASSERT_EQ(partial->height(), 427);
    EXPECT_TRUE(allOpaque(*partial));
    const ImageRef whole = io().readFromFile(dataPath("rocket.jpg"));
    int worstTop = 0;  // the first hundred rows were all there
    for (std::size_t i = 0; i < 640 * 100 * 4; ++i)
        worstTop = std::max(worstTop, std::abs(partial->pixels()[i] - whole->pixels()[i]));
    EXPECT_LE(worstTop, 16);
}

TEST(FailedWrites, EarlierFileStaysIntactAndNoTemporaryIsLeft) {
    TempDir dir;
    const ImageRef good = randomImage(20, 10, 21, true);
    const ImageRef empty = Image::create(0, 0);  // every encoder refuses a 0 × 0 image
    testing::internal::CaptureStderr();
    for (const char* type : {"PNG", "JPEG", "TIFF"}) {
        const std::string path = dir.file(std::string("keep.") + type);
        ASSERT_TRUE(io().writeImage(good, type, 90, path)) << type;
        const ByteBuffer before = readBytes(path);
        EXPECT_FALSE(io().writeImage(empty, type, 90, path)) << type;
        EXPECT_EQ(readBytes(path), before) << type;
    }
    // A JPEG quality outside 1 … 100 writes nothing either.
    EXPECT_FALSE(io().writeJpeg(good, 0, dir.file("q0.jpg")));
    EXPECT_FALSE(io().writeJpeg(good, 101, dir.file("q101.jpg")));
    ByteBuffer stream = {7, 7};
    EXPECT_FALSE(io().writeImage(empty, stream));
    EXPECT_EQ(stream, (ByteBuffer{7, 7}));  // a failed memory write leaves the buffer as it was

    // A folder that does not exist, and a folder where the file should be.
    for (const char* type : {"PNG", "JPEG", "TIFF"})
        EXPECT_FALSE(io().writeImage(good, type, 90, dir.file("missing/out.img"))) << type;
    std::filesystem::create_directory(dir.file("folder"));
    EXPECT_FALSE(io().writeImage(good, dir.file("folder")));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(log, "could not be opened for writing")) << log;
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
    EXPECT_EQ(entries(dir.path()),
              (std::vector<std::string>{"folder", "keep.JPEG", "keep.PNG", "keep.TIFF"}));
}

TEST(FailedWrites, ReadOnlyFolderKeepsItsFile) {
    TempDir dir;
    const ImageRef first = randomImage(20, 10, 23, true);
    const std::string folder = dir.file("locked"), path = folder + "/photo.png";
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(io().writeImage(first, path));
    const ByteBuffer before = readBytes(path);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    if (access(folder.c_str(), W_OK) == 0) {
        chmod(folder.c_str(), 0755);
        GTEST_SKIP() << "running with rights that ignore folder permissions";
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().writeImage(randomImage(20, 10, 24, true), path));
    EXPECT_FALSE(io().writeImage(first, "JPEG", 80, folder + "/new.jpg"));
    testing::internal::GetCapturedStderr();
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(entries(folder), (std::vector<std::string>{"photo.png"}));
}

TEST(Writes, ReplacingKeepsPermissionsAndLinksAndTakesTheLongestName) {
    TempDir dir;
    const std::string target = dir.file("real.png"), link = dir.file("link.png");
    ASSERT_TRUE(io().writeImage(randomImage(5, 5, 25), target));
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    std::filesystem::create_symlink(target, link);
    const ImageRef second = randomImage(7, 3, 26, true);
    ASSERT_TRUE(io().writeImage(second, link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    const ImageRef back = io().readFromFilePng(target);
    ASSERT_TRUE(back);
    EXPECT_EQ(compare(*second, *back).maxAbs, 0);
    // A name of 255 bytes, the most, leaves no room in the name for a temporary suffix.
    ASSERT_TRUE(io().writeImage(second, dir.file(std::string(251, 'n') + ".png")));
    EXPECT_EQ(entries(dir.path()).size(), 3u);
}
