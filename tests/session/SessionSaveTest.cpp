// Saving the composite and exporting the cached full-size candidates.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ImageIO.h"
#include "SessionTestSupport.h"

namespace fs = std::filesystem;

namespace {

ByteBuffer readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteBuffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
}

// A small PNG stream whose pixels all hold `value`.
std::shared_ptr<ByteBuffer> pngOf(int value) {
    ImageRef image = Image::create(6, 4);
    for (int i = 0; i < 6 * 4 * 4; ++i) image->pixels()[i] = std::uint8_t(i % 4 ? value : 255);
    auto buffer = std::make_shared<ByteBuffer>();
    EXPECT_TRUE(ImageIO::sharedInstance().writeImage(image, *buffer));
    return buffer;
}

fs::path freshDirectory(const std::string& name) {
    const fs::path path = testOutputPath(name);
    fs::remove_all(path);
    return path;
}

std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(SessionSave, NothingToSaveBeforeLoading) {
    Session s;
    const fs::path path = freshDirectory("session_nothing.png");
    EXPECT_FALSE(s.saveReconstructedImage(path.string(), "PNG", -1));
    EXPECT_FALSE(fs::exists(path));
}

TEST(SessionSave, TypeSelectsTheEncoder) {
    Session s;
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    struct Case {
        const char* type;
        std::vector<std::uint8_t> magic;
    };
    const Case cases[] = {
        {"JPEG", {0xFF, 0xD8, 0xFF}},
        {"TIFF", {}},  // either byte order
        {"PNG", {0x89, 'P', 'N', 'G'}},
        {"jpeg", {0x89, 'P', 'N', 'G'}},  // exact comparison: lower case is PNG
        {"something", {0x89, 'P', 'N', 'G'}},
    };
    for (const Case& k : cases) {
        const fs::path path = freshDirectory(std::string("session_save_") + k.type);
        ASSERT_TRUE(s.saveReconstructedImage(path.string(), k.type, 90)) << k.type;
        const ByteBuffer bytes = readBytes(path);
        ASSERT_GE(bytes.size(), 8u) << k.type;
        if (k.magic.empty()) {
            const bool tiff = (bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42) ||
                              (bytes[0] == 'M' && bytes[1] == 'M' && bytes[3] == 42);
            EXPECT_TRUE(tiff);
        } else {
            EXPECT_TRUE(std::equal(k.magic.begin(), k.magic.end(), bytes.begin())) << k.type;
        }
        ImageRef back = ImageIO::sharedInstance().readFromFile(path.string());
        ASSERT_TRUE(back) << k.type;
        EXPECT_EQ(back->width(), 451);
        EXPECT_EQ(back->height(), 300);
    }
}

TEST(SessionSave, AFailedWriteIsReportedAsFalse) {
    Session s;
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const fs::path missing = freshDirectory("session_no_such_dir") / "out.png";
    for (const char* type : {"PNG", "JPEG", "TIFF"}) {
        EXPECT_FALSE(s.saveReconstructedImage(missing.string(), type, 90)) << type;
        EXPECT_FALSE(fs::exists(missing));
    }
}

TEST(SessionSave, ExportWritesOneFilePerEntryInKeyOrder) {
    Session s;
    const fs::path dir = freshDirectory("session_export");
    // Empty cache: false, and the path is left alone.
    EXPECT_FALSE(s.saveDeblurredImages(dir.string()));
    EXPECT_FALSE(fs::exists(dir));

    const auto rl40 = pngOf(40), usm2 = pngOf(2), usm2Angle = pngOf(3), blur = pngOf(25);
    {
        std::lock_guard<Lock> guard(s.mLock);
        s.mDeblurredImages[DeblurredEntry{DeblurRL40, 6, -1, {}}] = rl40;
        s.mDeblurredImages[DeblurredEntry{DeblurUSM2, 3, -1, {}}] = usm2;
        // Same name, later in key order (angle 10 after -1): this one remains.
        s.mDeblurredImages[DeblurredEntry{DeblurUSM2, 3, 10, {1, 2, 0.5f, 0.5f}}] = usm2Angle;
        s.mDeblurredImages[DeblurredEntry{DeblurBlurSimulation, 2, -1, {}}] = blur;
    }
    testing::internal::CaptureStdout();
    ASSERT_TRUE(s.saveDeblurredImages(dir.string()));
    fflush(stdout);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find("saving deblurred images...\n"), 0u);
    EXPECT_NE(log.find("done! took "), std::string::npos);

    EXPECT_EQ(listing(dir), (std::vector<std::string>{"deblurred_RL40_6.png",
                                                      "deblurred_USM2_3.png",
                                                      "deblurred_bad_deblur_type_2.png"}));
    EXPECT_EQ(readBytes(dir / "deblurred_RL40_6.png"), *rl40);   // the stream unchanged
    EXPECT_EQ(readBytes(dir / "deblurred_USM2_3.png"), *usm2Angle);
    EXPECT_EQ(readBytes(dir / "deblurred_bad_deblur_type_2.png"), *blur);

    // Exporting again over an earlier export replaces it.
    writeText(dir / "deblurred_WF2_9.png", "stale");
    {
        std::lock_guard<Lock> guard(s.mLock);
        s.mDeblurredImages.erase(DeblurredEntry{DeblurBlurSimulation, 2, -1, {}});
    }
    ASSERT_TRUE(s.saveDeblurredImages(dir.string()));
    EXPECT_EQ(listing(dir),
              (std::vector<std::string>{"deblurred_RL40_6.png", "deblurred_USM2_3.png"}));
}

TEST(SessionSave, ExportNeverRemovesTheUsersFiles) {
    Session s;
    {
        std::lock_guard<Lock> guard(s.mLock);
        s.mDeblurredImages[DeblurredEntry{DeblurRL40, 6, -1, {}}] = pngOf(40);
    }
    // A folder with something else in it.
    const fs::path folder = freshDirectory("session_users_folder");
    fs::create_directories(folder / "holiday");
    writeText(folder / "notes.txt", "keep me");
    writeText(folder / "deblurred_RL40_6.png", "old");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(s.saveDeblurredImages(folder.string()));
    fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("not exporting to"), std::string::npos);
    EXPECT_EQ(listing(folder),
              (std::vector<std::string>{"deblurred_RL40_6.png", "holiday", "notes.txt"}));

    // A plain file at the path.
    const fs::path file = freshDirectory("session_users_file.jpg");
    writeText(file, "a photograph");
    EXPECT_FALSE(s.saveDeblurredImages(file.string()));
    EXPECT_EQ(readBytes(file), ByteBuffer({'a', ' ', 'p', 'h', 'o', 't', 'o', 'g', 'r', 'a', 'p', 'h'}));

    // A missing parent folder: no intermediate folders are made.
    const fs::path deep = freshDirectory("session_missing_parent") / "export";
    EXPECT_FALSE(s.saveDeblurredImages(deep.string()));
    EXPECT_FALSE(fs::exists(deep.parent_path()));

    // An empty folder is fine to use.
    const fs::path empty = freshDirectory("session_empty_folder");
    fs::create_directories(empty);
    EXPECT_TRUE(s.saveDeblurredImages(empty.string()));
    EXPECT_EQ(listing(empty), (std::vector<std::string>{"deblurred_RL40_6.png"}));
}
