// Saving the composite and exporting the cached full-size candidates.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "SessionTestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

fs::path fresh(const std::string& name) {
    const fs::path path = testOutputPath(name);
    fs::remove_all(path);
    return path;
}

std::string listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string out;
    for (const auto& n : names) out += n + " ";
    return out;
}

// Caches a small result whose colour channels hold `value` under `entry`; returns its pixels.
ImageRef cache(Session& s, const DeblurredEntry& entry, int value) {
    ImageRef image = Image::create(6, 4);
    for (int i = 0; i < 6 * 4 * 4; ++i) image->pixels()[i] = std::uint8_t(i % 4 ? value : 255);
    std::lock_guard<Lock> guard(s.mLock);
    s.mDeblurredImages[entry] = PixelPack::pack(*image);
    return image;
}

ImageRef decoded(const fs::path& path) {
    return ImageIO::sharedInstance().readFromFilePng(path.string(), false);
}

}  // namespace

TEST(SessionSave, TypeSelectsTheEncoderAndFailuresAreReported) {
    Session s;
    const fs::path nothing = fresh("session_nothing.png");
    EXPECT_FALSE(s.saveReconstructedImage(nothing.string(), "PNG", -1));  // nothing loaded
    EXPECT_FALSE(fs::exists(nothing));

    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const std::pair<const char*, const char*> cases[] = {
        {"JPEG", "\xFF\xD8\xFF"}, {"TIFF", "II*"}, {"PNG", "\x89PNG"},
        {"jpeg", "\x89PNG"},  // exact names only: anything else is PNG
    };
    for (const auto& [type, magic] : cases) {
        const fs::path path = fresh(std::string("session_save_") + type);
        ASSERT_TRUE(s.saveReconstructedImage(path.string(), type, 90)) << type;
        EXPECT_EQ(readText(path).rfind(magic, 0), 0u) << type;
        ImageRef back = ImageIO::sharedInstance().readFromFile(path.string());
        EXPECT_TRUE(back && back->width() == 451 && back->height() == 300) << type;
    }
    // A writer's failure is reported.
    const fs::path missing = fresh("session_no_such_dir") / "out.png";
    for (const char* type : {"PNG", "JPEG", "TIFF"})
        EXPECT_FALSE(s.saveReconstructedImage(missing.string(), type, 90)) << type;
    EXPECT_FALSE(fs::exists(missing.parent_path()));
}

TEST(SessionSave, ExportWritesOneFilePerNameInKeyOrder) {
    Session s;
    const fs::path dir = fresh("session_export");
    EXPECT_FALSE(s.saveDeblurredImages(dir.string()));  // empty cache: the path is left alone
    EXPECT_FALSE(fs::exists(dir));

    const ImageRef rl40 = cache(s, {DeblurRL40, 6, -1, {}}, 40);
    cache(s, {DeblurUSM2, 3, -1, {}}, 2);
    // The same name later in key order (angle 10 after -1): this one remains.
    const ImageRef usm2 = cache(s, {DeblurUSM2, 3, 10, {1, 2, 0.5f, 0.5f}}, 3);
    const ImageRef blur = cache(s, {DeblurBlurSimulation, 2, -1, {}}, 25);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(s.saveDeblurredImages(dir.string()));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find("saving deblurred images...\n"), 0u);
    EXPECT_NE(log.find("done! took "), std::string::npos);
    EXPECT_EQ(listing(dir), "deblurred_RL40_6.png deblurred_USM2_3.png deblurred_bad_deblur_type_2.png ");
    EXPECT_TRUE(samePixels(decoded(dir / "deblurred_RL40_6.png"), rl40));  // PNG, the same pixels
    EXPECT_TRUE(samePixels(decoded(dir / "deblurred_USM2_3.png"), usm2));
    EXPECT_TRUE(samePixels(decoded(dir / "deblurred_bad_deblur_type_2.png"), blur));

    // Exporting again over an earlier export replaces it.
    writeText(dir / "deblurred_WF2_9.png", "stale");
    {
        std::lock_guard<Lock> guard(s.mLock);
        s.mDeblurredImages.erase(DeblurredEntry{DeblurBlurSimulation, 2, -1, {}});
    }
    ASSERT_TRUE(s.saveDeblurredImages(dir.string()));
    EXPECT_EQ(listing(dir), "deblurred_RL40_6.png deblurred_USM2_3.png ");
}

TEST(SessionSave, ExportNeverRemovesTheUsersFiles) {
    Session s;
    cache(s, {DeblurRL40, 6, -1, {}}, 40);
    // A folder with something else in it.
    const fs::path folder = fresh("session_users_folder");
    fs::create_directories(folder / "holiday");
    writeText(folder / "notes.txt", "keep me");
    writeText(folder / "deblurred_RL40_6.png", "old");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(s.saveDeblurredImages(folder.string()));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("not exporting to"), std::string::npos);
    EXPECT_EQ(listing(folder), "deblurred_RL40_6.png holiday notes.txt ");
    EXPECT_EQ(readText(folder / "deblurred_RL40_6.png"), "old");
    // A plain file at the path.
    const fs::path file = fresh("session_users_file.jpg");
    writeText(file, "a photograph");
    EXPECT_FALSE(s.saveDeblurredImages(file.string()));
    EXPECT_EQ(readText(file), "a photograph");
    // A missing parent folder: no intermediate folders are made.
    const fs::path deep = fresh("session_missing_parent") / "export";
    EXPECT_FALSE(s.saveDeblurredImages(deep.string()));
    EXPECT_FALSE(fs::exists(deep.parent_path()));
    // An empty folder is fine to use.
    const fs::path empty = fresh("session_empty_folder");
    fs::create_directories(empty);
    EXPECT_TRUE(s.saveDeblurredImages(empty.string()));
    EXPECT_EQ(listing(empty), "deblurred_RL40_6.png ");
}
