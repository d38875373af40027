// Bad input and failed writes: refused, reported, never a crash, never a lost file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "ImageIO.h"
#include "ImageTestSupport.h"
#include "PngTestFiles.h"

using namespace testsupport;

namespace {

ImageIO& io() { return ImageIO::sharedInstance(); }

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
    EXPECT_TRUE(contains(log, "image of 100000x100000 pixels exceeds the limit of 268435456 pixels"))
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
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromFilePng(cutPng));
    EXPECT_FALSE(io().readFromMemory(ByteBuffer(png.begin(), png.end() - 5000)));
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(out, "my_png_read_data past end")) << out;
    EXPECT_TRUE(contains(err, "[read_png_file] Error during read_image")) << err;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromMemory(readBytes(dataPath("rocket.jpg"))));
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "[read_png_file] Error during init_io")) << err;
    ByteBuffer flipped = png;
    for (std::size_t i = 100; i < flipped.size(); i += 97) flipped[i] ^= 0x5A;
    EXPECT_FALSE(io().readFromMemory(flipped));
    // Qt may hand back what it could decode of a cut PNG; if it does, it is a whole image.
    if (const ImageRef partial = io().readFromFile(cutPng)) {
        EXPECT_EQ(partial->width(), 600);
        EXPECT_EQ(partial->height(), 400);
    }

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
    int worstTop = 0;
    for (std::size_t i = 0; i < 640 * 100 * 4; ++i)
        if (i % 4) worstTop = std::max(worstTop, std::abs(partial->pixels()[i] - whole->pixels()[i]));
    EXPECT_LE(worstTop, 16);
}

TEST(FailedWrites, EarlierFileStaysIntactAndNoTemporaryIsLeft) {
    TempDir dir;
    const ImageRef good = randomImage(20, 10, 21, true);
    const ImageRef empty = Image::create(0, 0);  // every encoder refuses a 0 × 0 image
    testing::internal::CaptureStdout();
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
    const std::string log = testing::internal::GetCapturedStdout();
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
    testing::internal::CaptureStdout();
    EXPECT_FALSE(io().writeImage(randomImage(20, 10, 24, true), path));
    EXPECT_FALSE(io().writeImage(first, "JPEG", 80, folder + "/new.jpg"));
    testing::internal::GetCapturedStdout();
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
