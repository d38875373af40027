// Encoders and decoders against an independent one (Qt's); bad
// input and failed writes: refused, never a crash, never a lost file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "ImageIO.h"
#include "ImageTestSupport.h"

using namespace velkaro;

using namespace testsupport;

namespace {

ImageIO& io() {
    return ImageIO::sharedInstance();
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(PngCodec, RgbOrRgbaExactInFileAndMemoryAlphaOnlyWhenAsked) {
    TempDir dir;
    struct Case {
        int width, height;
        bool opaque;
        bool photo;  // smooth with noise, as deflate sees a photograph; random bytes otherwise
    };
    for (const Case& c :
         {Case{64, 17, false, false}, Case{1, 1, true, false}, Case{333, 1, false, false},
          Case{1, 257, true, false}, Case{2100, 900, true, true}, Case{517, 1033, false, true}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const ImageRef original = c.photo ? photoLikeImage(c.width, c.height, 7, c.opaque)
                                          : randomImage(c.width, c.height, 12, c.opaque);
        const std::string path = dir.file("written.png");
        ASSERT_TRUE(io().writeImage(original, path));
        const ByteBuffer file = readBytes(path);
        ASSERT_GT(file.size(), 33u);
        // 8-bit, not interlaced; RGB when opaque, else RGBA.
        EXPECT_TRUE(file[24] == 8);
        EXPECT_TRUE(file[25] == (c.opaque ? 2 : 6));
        EXPECT_TRUE(file[28] == 0);

        // Qt sees the same pixels, alpha included, not premultiplied; so do we when asked.
        EXPECT_EQ(compare(*original, *qtDecode(path), true).maxAbs, 0);
        const ImageRef withAlpha = io().readFromFilePng(path, false);
        ASSERT_TRUE(withAlpha);
        EXPECT_EQ(compare(*original, *withAlpha, true).maxAbs, 0);
        // A memory write appends to what the buffer holds.
        ByteBuffer memory = {1, 2, 3};
        ASSERT_TRUE(io().writeImage(original, memory));
        ASSERT_GT(memory.size(), 7u);
        ASSERT_EQ(ByteBuffer(memory.begin(), memory.begin() + 7),
                  (ByteBuffer{1, 2, 3, 0x89, 'P', 'N', 'G'}));
        const ImageRef fromMemory =
            io().readFromMemory(ByteBuffer(memory.begin() + 3, memory.end()));
        for (const ImageRef& opaque :
             {io().readFromFilePng(path), io().readFromFile(path), fromMemory}) {
            ASSERT_TRUE(opaque);
            EXPECT_EQ(compare(*original, *opaque).maxAbs, 0);
            EXPECT_TRUE(allOpaque(*opaque));
        }
    }
}

TEST(JpegCodec, RoundTripIsCloseAndQualityMatters) {
    TempDir dir;
    const ImageRef photo = io().readFromFile(dataPath("astronaut.png"));
    ASSERT_TRUE(photo);
    const std::string fine = dir.file("fine.jpg"), coarse = dir.file("coarse.jpg");
    ASSERT_TRUE(io().writeJpeg(photo, 95, fine));
    ASSERT_TRUE(io().writeImage(photo, "JPEG", 10, coarse));
    EXPECT_LT(readBytes(coarse).size() * 3, readBytes(fine).size());
    const ImageRef decoded = io().readFromFileJpeg(fine);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(allOpaque(*decoded));
    const Difference toOriginal = compare(*photo, *decoded);
    EXPECT_LT(toOriginal.meanAbs, 2.5);
    EXPECT_GT(compare(*photo, *io().readFromFileJpeg(coarse)).meanAbs, toOriginal.meanAbs * 1.5);
}

TEST(TiffCodec, OpaqueRgbCompressedOrNotAndRgbaWithUnassociatedAlphaThatQtReadsBack) {
    TempDir dir;
    const std::string path = dir.file("out.tiff");
    // Opaque: three samples per pixel, Deflate unless asked not to; both decode to the same pixels.
    const ImageRef opaque = io().readFromFile(dataPath("astronaut.png"));
    ASSERT_TRUE(opaque);
    const int w = opaque->width(), h = opaque->height();
    std::size_t sizes[2] = {};
    for (const bool compress : {true, false}) {
        ImageWriteOptions options;
        options.type = "TIFF";
        options.compressTiff = compress;
        ASSERT_TRUE(io().writeImage(opaque, options, path));
        sizes[compress] = readBytes(path).size();
        std::string format;
        const ImageRef back = io().readFromFile(path, format);
        ASSERT_TRUE(back);
        EXPECT_EQ(format, "TIFF");
        EXPECT_EQ(compare(*opaque, *back, true).maxAbs, 0) << compress;
        EXPECT_EQ(compare(*opaque, *qtDecode(path), true).maxAbs, 0) << compress;
    }
    EXPECT_LT(sizes[false], std::size_t(w) * h * 3 + 4096);  // RGB, not RGBA
    EXPECT_LT(sizes[true] * 4, sizes[false] * 3);
    // Qt premultiplies on reading: colours come back within its rounding where alpha is large.
    const ImageRef translucent = randomImage(45, 31, 14);
    ASSERT_TRUE(io().writeImage(translucent, "TIFF", 50, path));
    const ImageRef byQt = qtDecode(path);
    ASSERT_TRUE(byQt);
    for (int i = 0; i < 45 * 31; ++i) {
        const std::uint8_t *p = translucent->pixels() + 4 * i, *q = byQt->pixels() + 4 * i;
        ASSERT_EQ(p[0], q[0]) << i;
        for (int c = 1; c < 4 && p[0] >= 128; ++c) ASSERT_LE(std::abs(p[c] - q[c]), 2) << i;
    }
}

TEST(SampleFiles, MatchTheIndependentDecoder) {
    struct Sample {
        const char* name;
        const char* format;
        int tolerance;
    };
    // Photographs, grey PNGs, palette PNGs and a GIF (its first frame) through readFromFile;
    // JPEG decoders may round differently, a 16-bit TIFF (read at 16 bits here) is brought to 8
    // bits by each its way.
    std::vector<Sample> samples = {{"chessboard_GRAY_U16.tif", "TIFF", 1},
                                   {"rocket.jpg", "JPEG", 16},
                                   {"no_time_for_that_tiny.gif", "GIF", 0}};
    for (const char* png : {"astronaut.png", "chelsea.png", "coffee.png", "camera.png",
                            "clock_motion.png", "palette_color.png", "foo3x5x4indexed.png"})
        samples.push_back({png, "PNG", 0});
    for (const Sample& s : samples) {
        std::string format;
        const ImageRef read = io().readFromFile(dataPath(s.name), format);
        ASSERT_TRUE(read) << s.name;
        const ImageRef ours = ImageAtDepth(read, 8);
        EXPECT_EQ(format, s.format) << s.name;
        const Difference d = compare(*qtDecode(dataPath(s.name)), *ours);
        EXPECT_LE(d.maxAbs, s.tolerance) << s.name;
        EXPECT_LT(d.meanAbs, 1.0) << s.name;
        EXPECT_TRUE(allOpaque(*ours)) << s.name;
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
                if (!io().writeImage(image, stream))
                    ++failures;
                const ImageRef back = io().readFromMemory(stream);
                if (!back || back->width() != image->width() || compare(*image, *back).maxAbs)
                    ++failures;
                // JPEG reads share the TurboJPEG handle; they must not trample each other.
                const ImageRef jpeg = io().readFromFileJpeg(dataPath("rocket.jpg"));
                if (!jpeg || jpeg->width() != 640)
                    ++failures;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(BadInput, EmptyTruncatedOversizedAndForeignInputGiveNull) {
    TempDir dir;
    const ByteBuffer png = readBytes(dataPath("coffee.png")),
                     jpeg = readBytes(dataPath("rocket.jpg"));
    ByteBuffer hugeJpeg = jpeg;  // its baseline frame header claiming 60000 × 60000
    const std::uint8_t sof0[] = {0xFF, 0xC0};
    const auto sof = std::search(hugeJpeg.begin() + 2, hugeJpeg.end(), sof0, sof0 + 2);
    ASSERT_NE(sof, hugeJpeg.end());
    sof[5] = sof[7] = 60000 >> 8;
    sof[6] = sof[8] = 60000 & 0xFF;
    struct Bad {
        const char* name;
        ByteBuffer bytes;
        ReadFailure failure;
    };
    // A plausible size passes the header check; the missing data is what fails.
    const ReadFailure notImage = ReadFailure::NotAnImage, tooLarge = ReadFailure::TooLarge;
    const Bad cases[] = {
        {"empty", {}, notImage},
        {"half.png", ByteBuffer(png.begin(), png.begin() + png.size() / 2), notImage},
        {"cut.png", ByteBuffer(png.begin(), png.end() - 5000), notImage},
        {"huge.png", pngClaiming(100000, 100000), tooLarge},
        {"plausible.png", pngClaiming(3000, 2000), notImage},
        {"huge.jpg", hugeJpeg, tooLarge},
        {"text.png", ByteBuffer{'h', 'i', '\n'}, notImage}};
    std::string format;
    ReadFailure failure = ReadFailure::None;
    for (const Bad& bad : cases) {
        const std::string path = dir.file(bad.name);
        writeBytes(path, bad.bytes);
        EXPECT_FALSE(io().readFromFile(path, format, failure)) << bad.name;
        EXPECT_EQ(failure, bad.failure) << bad.name;
        EXPECT_FALSE(io().readFromFilePng(path)) << bad.name;
        EXPECT_FALSE(io().readFromFileJpeg(path)) << bad.name;
        EXPECT_FALSE(io().readFromMemory(bad.bytes)) << bad.name;
    }
    // Text, a missing file, the truncated sample (it stops inside its Huffman tables), the
    // multipage sample (64-bit float samples) and a palette PNG for our own PNG reader; a JPEG
    // for the PNG-only memory reader.
    for (const char* name :
         {"README.md", "does-not-exist.png", "truncated.jpg", "multipage_rgb.tif"})
        EXPECT_FALSE(io().readFromFile(dataPath(name))) << name;
    EXPECT_FALSE(io().readFromFileJpeg(dataPath("truncated.jpg")));
    EXPECT_FALSE(io().readFromFilePng(dataPath("palette_color.png")));
    EXPECT_FALSE(io().readFromMemory(jpeg));
    EXPECT_FALSE(io().readFromFile(dataPath("does-not-exist.png"), format, failure));
    EXPECT_EQ(failure, ReadFailure::Missing);
    EXPECT_FALSE(io().readFromFile(dir.path(), format, failure));
    EXPECT_EQ(failure, ReadFailure::Folder);

    // A JPEG cut at 60 %: our reader refuses it, readFromFile then gets Qt's reading of it, the
    // rows that were there and the rest filled in.
    const std::string cutJpeg = dir.file("cut.jpg");
    writeBytes(cutJpeg, ByteBuffer(jpeg.begin(), jpeg.begin() + jpeg.size() * 6 / 10));
    EXPECT_FALSE(io().readFromFileJpeg(cutJpeg));
    const ImageRef partial = io().readFromFile(cutJpeg);
    ASSERT_TRUE(partial);
    ASSERT_TRUE(partial->width() == 640);
    ASSERT_TRUE(partial->height() == 427);
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
    WriteFailure failure = WriteFailure::None;
    for (const char* type : {"PNG", "JPEG", "TIFF"}) {
        const std::string path = dir.file(std::string("keep.") + type);
        ASSERT_TRUE(io().writeImage(good, type, 90, path)) << type;
        const ByteBuffer before = readBytes(path);
        const ImageWriteOptions options{type};
        EXPECT_FALSE(io().writeImage(empty, options, path, &failure)) << type;
        EXPECT_EQ(failure, WriteFailure::NotEncoded) << type;
        EXPECT_EQ(readBytes(path), before) << type;
        // A folder that does not exist, and a file where a folder should be.
        EXPECT_FALSE(io().writeImage(good, options, dir.file("missing/out.img"), &failure));
        EXPECT_EQ(failure, WriteFailure::MissingFolder) << type;
        EXPECT_FALSE(io().writeImage(good, options, path + "/out.img", &failure));
        EXPECT_EQ(failure, WriteFailure::NotAFolder) << type;
    }
    // A JPEG quality outside 1 … 100 writes nothing either.
    EXPECT_FALSE(io().writeJpeg(good, 0, dir.file("q0.jpg")));
    EXPECT_FALSE(io().writeJpeg(good, 101, dir.file("q101.jpg")));
    ByteBuffer stream = {7, 7};
    EXPECT_FALSE(io().writeImage(empty, stream));
    EXPECT_EQ(stream, (ByteBuffer{7, 7}));  // a failed memory write leaves the buffer as it was
    // A folder where the file should be.
    std::filesystem::create_directory(dir.file("folder"));
    EXPECT_FALSE(io().writeImage(good, ImageWriteOptions{}, dir.file("folder"), &failure));
    EXPECT_EQ(failure, WriteFailure::Folder);
    EXPECT_EQ(CheckWritable(dir.file("folder")), WriteFailure::Folder);
    EXPECT_EQ(CheckWritable(dir.file("missing/out.png")), WriteFailure::MissingFolder);
    EXPECT_EQ(CheckWritable(dir.file("new.png")), WriteFailure::None);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
    EXPECT_EQ(entries(dir.path()),
              (std::vector<std::string>{"folder", "keep.JPEG", "keep.PNG", "keep.TIFF"}));
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
