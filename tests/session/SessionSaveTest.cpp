// Saving the composite and exporting the cached full-size candidates.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "SessionTestSupport.h"

using namespace velkaro;

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

fs::path fresh(const std::string& name) {
    const fs::path path = testOutputPath(name);
    fs::remove_all(path);
    return path;
}

using Names = std::set<std::string>;
Names listing(const fs::path& dir) {
    Names names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// A session holding a small photograph whose colour channels hold `value`, and whose methods
// add one to them.
void load(Session& s, int value) {
    ImageRef image = Image::create(6, 4);
    for (int i = 0; i < 6 * 4 * 4; ++i) image->pixels()[i] = std::uint8_t(i % 4 ? value : 255);
    s.setMethods(RecordingDeblurMethods());
    s.loadDecodedImage(image);
}

// Computes and caches the full result of `entry`; returns it.
ImageRef cache(Session& s, const DeblurredEntry& entry) {
    s.deblur(entry);
    return s.deblurredImage(entry);
}

bool fileHolds(const fs::path& path, const ImageRef& image) {
    return samePixels(ImageIO::sharedInstance().readFromFilePng(path.string(), false), image);
}

}  // namespace

TEST(SessionSave, ExportWritesOneFilePerNameInKeyOrder) {
    Session s;
    const fs::path dir = fresh("session_export");
    EXPECT_FALSE(s.saveDeblurredImages(dir.string()));  // empty cache: the path is left alone
    EXPECT_FALSE(fs::exists(dir));

    load(s, 40);
    const ImageRef rl40 = cache(s, {DeblurRL40, 6, -1, {}});
    cache(s, {DeblurUSM2, 3, -1, {}});
    // The same name later in key order (a mask after none): this one remains.
    const ImageRef usm2 = cache(s, {DeblurUSM2, 3, -1, {1, 2, 0.5f, 0.5f}});
    const ImageRef blur = cache(s, {DeblurBlurSimulation, 2, -1, {}});
    ASSERT_TRUE(s.saveDeblurredImages(dir.string()));
    EXPECT_EQ(listing(dir), (Names{"deblurred_RL40_6.png", "deblurred_USM2_3.png",
                                   "deblurred_bad_deblur_type_2.png"}));
    EXPECT_TRUE(fileHolds(dir / "deblurred_RL40_6.png", rl40));
    EXPECT_TRUE(fileHolds(dir / "deblurred_USM2_3.png", usm2));
    EXPECT_TRUE(fileHolds(dir / "deblurred_bad_deblur_type_2.png", blur));

    // Exporting again over an earlier export (and the leftover of an interrupted one) replaces
    // it.
    writeText(dir / "deblurred_WF2_9.png", "stale");
    writeText(dir / ".deblurred_WF2_9.png.123.4.tmp", "interrupted");
    load(s, 50);
    cache(s, {DeblurRL40, 6, -1, {}});
    ASSERT_TRUE(s.saveDeblurredImages(dir.string()));
    EXPECT_EQ(listing(dir), Names{"deblurred_RL40_6.png"});
}

// Saving with nothing loaded writes nothing, a failed write is reported, and an export never
// removes or replaces the user's own files.
TEST(SessionSave, FailuresAreReportedAndTheUsersFilesStay) {
    Session s;
    const fs::path nothing = fresh("session_nothing.png");
    EXPECT_FALSE(s.saveReconstructedImage(nothing.string(), "PNG", -1));
    EXPECT_FALSE(fs::exists(nothing));
    load(s, 40);
    const fs::path missing = fresh("session_no_such_dir") / "out.png";
    EXPECT_FALSE(s.saveReconstructedImage(missing.string(), "JPEG", 90));
    EXPECT_FALSE(fs::exists(missing.parent_path()));
    cache(s, {DeblurRL40, 6, -1, {}});
    // A folder with something else in it.
    const fs::path folder = fresh("session_users_folder");
    fs::create_directories(folder / "holiday");
    writeText(folder / "notes.txt", "keep me");
    writeText(folder / "deblurred_RL40_6.png", "old");
    EXPECT_FALSE(s.saveDeblurredImages(folder.string()));
    EXPECT_EQ(listing(folder), (Names{"deblurred_RL40_6.png", "holiday", "notes.txt"}));
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
    EXPECT_EQ(listing(empty), Names{"deblurred_RL40_6.png"});
}
