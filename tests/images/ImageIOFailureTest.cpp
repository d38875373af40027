// Bad input and failed writes: refused, reported, never a crash, never a lost file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ImageIO.h"
#include "ImageTestSupport.h"
#include "PngTestFiles.h"

using namespace testsupport;

namespace {

ImageIO& io() { return ImageIO::sharedInstance(); }

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// rocket.jpg with its frame header claiming another size.
ByteBuffer jpegClaiming(int width, int height) {
    ByteBuffer bytes = readBytes(dataPath("rocket.jpg"));
    for (std::size_t i = 2; i + 9 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {  // baseline start of frame
            bytes[i + 5] = std::uint8_t(height >> 8);
            bytes[i + 6] = std::uint8_t(height);
            bytes[i + 7] = std::uint8_t(width >> 8);
            bytes[i + 8] = std::uint8_t(width);
            return bytes;
        }
    }
    ADD_FAILURE() << "no SOF0 marker in rocket.jpg";
    return bytes;
}

}  // namespace

TEST(ReadLimits, PngHeaderClaimingTenGigapixelsIsRefused) {
    TempDir dir;
    const ByteBuffer bytes = pngClaiming(100000, 100000);
    const std::string path = dir.file("huge.png");
    writeBytes(path, bytes);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromFilePng(path));
    EXPECT_FALSE(io().readFromMemory(bytes));
    EXPECT_FALSE(io().readFromFile(path));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("image of 100000x100000 pixels exceeds the limit of 268435456 pixels"),
              std::string::npos)
        << log;
    // A plausible size passes the header; the missing data is what fails.
    EXPECT_FALSE(io().readFromMemory(pngClaiming(3000, 2000)));
}

TEST(ReadLimits, JpegHeaderClaimingTooManyPixelsIsRefused) {
    TempDir dir;
    const std::string path = dir.file("huge.jpg");
    writeBytes(path, jpegClaiming(60000, 60000));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromFileJpeg(path));
    EXPECT_FALSE(io().readFromFile(path));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("image of 60000x60000 pixels exceeds the limit"), std::string::npos) << log;
}

TEST(BadInput, EmptyAndTruncatedFilesGiveNullOrAWholeImage) {
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
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[read_png_file] Error during read_image"), std::string::npos) << log;
    // Qt may hand back what it could decode; if it does, it is a whole image of the right size.
    if (const ImageRef partial = io().readFromFile(cutPng)) {
        EXPECT_EQ(partial->width(), 600);
        EXPECT_EQ(partial->height(), 400);
    }

    const ByteBuffer jpeg = readBytes(dataPath("rocket.jpg"));
    const std::string cutJpeg = dir.file("cut.jpg");
    writeBytes(cutJpeg, ByteBuffer(jpeg.begin(), jpeg.begin() + jpeg.size() * 6 / 10));
    // TurboJPEG reports the early end and our JPEG reader refuses the file; readFromFile then
    // gets Qt's reading of it: the rows that were there, the rest filled grey.
    EXPECT_FALSE(io().readFromFileJpeg(cutJpeg));
    const ImageRef partial = io().readFromFile(cutJpeg);
    ASSERT_TRUE(partial);
    ASSERT_EQ(partial->width(), 640);
    ASSERT_EQ(partial->height(), 427);
    const ImageRef whole = io().readFromFile(dataPath("rocket.jpg"));
    int worstTop = 0;
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 640; ++x) {
            for (int c = 1; c < 4; ++c) {
                worstTop = std::max(worstTop, std::abs(int(pixelAt(*partial, x, y)[c]) -
                                                       int(pixelAt(*whole, x, y)[c])));
            }
        }
    }
    EXPECT_LE(worstTop, 16);
    EXPECT_TRUE(allAlpha(*partial, 255));
}

TEST(BadInput, BrokenStreamsInMemory) {
    const ByteBuffer png = readBytes(dataPath("chelsea.png"));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromMemory(ByteBuffer(png.begin(), png.begin() + png.size() - 5000)));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("my_png_read_data past end"), std::string::npos) << out;
    EXPECT_NE(err.find("[read_png_file] Error during read_image"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    EXPECT_FALSE(io().readFromMemory(readBytes(dataPath("rocket.jpg"))));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[read_png_file] Error during init_io"),
              std::string::npos);
    ByteBuffer flipped = png;
    for (std::size_t i = 100; i < flipped.size(); i += 97) flipped[i] ^= 0x5A;
    EXPECT_FALSE(io().readFromMemory(flipped));
}

TEST(FailedWrites, EarlierFileStaysIntactAndNoTemporaryIsLeft) {
    TempDir dir;
    const ImageRef good = randomImage(20, 10, 21, true);
    const ImageRef empty = Image::create(0, 0);  // every encoder refuses a 0 × 0 image
    for (const char* type : {"PNG", "JPEG", "TIFF"}) {
        const std::string path = dir.file(std::string("keep.") + type);
        ASSERT_TRUE(io().writeImage(good, type, 90, path)) << type;
        const ByteBuffer before = readBytes(path);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(io().writeImage(empty, type, 90, path)) << type;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(readBytes(path), before) << type;
    }
    EXPECT_EQ(entries(dir.path()),
              (std::vector<std::string>{"keep.JPEG", "keep.PNG", "keep.TIFF"}));
    // A JPEG quality outside 1 … 100 writes nothing either.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(io().writeJpeg(good, 0, dir.file("q0.jpg")));
    EXPECT_FALSE(io().writeJpeg(good, 101, dir.file("q101.jpg")));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(std::filesystem::exists(dir.file("q0.jpg")));
    ByteBuffer stream = {7, 7};
    EXPECT_FALSE(io().writeImage(empty, stream));
    EXPECT_EQ(stream, (ByteBuffer{7, 7}));  // a failed memory write leaves the buffer as it was
}

TEST(FailedWrites, MissingFolderOrDirectoryInTheWay) {
    TempDir dir;
    const ImageRef good = randomImage(20, 10, 22, true);
    for (const char* type : {"PNG", "JPEG", "TIFF"}) {
        const std::string path = dir.file("missing/out.img");
        testing::internal::CaptureStdout();
        EXPECT_FALSE(io().writeImage(good, type, 90, path)) << type;
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("could not be opened for writing"), std::string::npos) << log;
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    std::filesystem::create_directory(dir.file("folder"));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(io().writeImage(good, dir.file("folder")));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"folder"}));
}

TEST(FailedWrites, ReadOnlyFolderKeepsItsFile) {
    TempDir dir;
    const ImageRef first = randomImage(20, 10, 23, true);
    const std::string folder = dir.file("locked");
    std::filesystem::create_directory(folder);
    const std::string path = folder + "/photo.png";
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

TEST(Writes, ReplacingAFileKeepsItsPermissions) {
    TempDir dir;
    const std::string path = dir.file("shared.png");
    ASSERT_TRUE(io().writeImage(randomImage(5, 5, 25), path));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const ImageRef second = randomImage(7, 3, 26, true);
    ASSERT_TRUE(io().writeImage(second, path));
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    const ImageRef back = io().readFromFilePng(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(compare(*second, *back).maxAbs, 0);
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"shared.png"}));
}

TEST(Writes, LongestFileNameStillWrites) {
    TempDir dir;
    const std::string path = dir.file(std::string(251, 'n') + ".png");  // 255 bytes, the most
    ASSERT_TRUE(io().writeImage(randomImage(3, 3, 29, true), path));
    EXPECT_TRUE(io().readFromFile(path));
    EXPECT_EQ(entries(dir.path()).size(), 1u);
}

TEST(Writes, SavingOverASymbolicLinkReplacesItsTarget) {
    TempDir dir;
    const std::string target = dir.file("real.png"), link = dir.file("link.png");
    ASSERT_TRUE(io().writeImage(randomImage(4, 4, 27), target));
    std::filesystem::create_symlink(target, link);
    const ImageRef second = randomImage(6, 2, 28, true);
    ASSERT_TRUE(io().writeImage(second, link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    const ImageRef back = io().readFromFilePng(target);
    ASSERT_TRUE(back);
    EXPECT_EQ(compare(*second, *back).maxAbs, 0);
}
