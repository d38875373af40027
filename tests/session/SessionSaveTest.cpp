// The composite (brushing, apply-all, saving it), exporting the cached full-size candidates, and
// the order of their keys.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "../deblur/DeblurTestSupport.h"
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

ImageRef uniform(int r, int g, int b, int w, int h) {
    return deblurtest::uniformPicture(w, h, r, g, b).asImage();
}

// A session holding a small grey photograph of level `value`, whose methods add one to it.
void load(Session& s, int value) {
    s.setMethods(RecordingDeblurMethods());
    s.loadDecodedImage(uniform(value, value, value, 6, 4));
}

// Computes and caches the full result of `entry`; returns it.
ImageRef cache(Session& s, const DeblurredEntry& entry) {
    s.deblur(entry);
    return s.deblurredImage(entry);
}

ImageRef composite(Session& s) {
    return s.reconstructed()->asImage()->copy();
}

bool fileHolds(const fs::path& path, const ImageRef& image) {
    return samePixels(ImageIO::sharedInstance().readFromFilePng(path.string(), false), image);
}

}  // namespace

// One file per name in key order, replacing an earlier export; nothing when nothing is loaded or
// the path is the user's.
TEST(SessionSave, ExportWritesOneFilePerNameAndTheUsersFilesStay) {
    Session s;
    const fs::path dir = fresh("session_export"), nothing = fresh("session_nothing.png");
    EXPECT_FALSE(s.saveDeblurredImages(dir.string()));  // empty cache: the path is left alone
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_FALSE(s.saveReconstructedImage(nothing.string(), "PNG", -1));
    EXPECT_FALSE(fs::exists(nothing));

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

    // A failed write of the composite is reported; an export never removes or replaces the
    // user's own files.
    const fs::path missing = fresh("session_no_such_dir") / "out.png";
    EXPECT_FALSE(s.saveReconstructedImage(missing.string(), "JPEG", 90));
    EXPECT_FALSE(fs::exists(missing.parent_path()));
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

TEST(DeblurTypes, NaNMaskFloatsCompareAsNotLess) {
    const float nan = std::nanf("");
    auto equivalent = [](std::array<float, 4> a, std::array<float, 4> b) {  // mask type and floats
        auto entry = [](std::array<float, 4> m) {
            return DeblurredEntry{DeblurType(4), 2, -1, {int(m[0]), m[1], m[2], m[3]}};
        };
        return !(entry(a) < entry(b)) && !(entry(b) < entry(a)) && !(entry(a) < entry(a));
    };
    // A NaN in any float; a NaN radius decides before a later field that differs; without a
    // mask the floats are not looked at, and the mask type still orders.
    EXPECT_TRUE(equivalent({1, nan, 0.5f, 0.5f}, {1, 1, 0.5f, 0.5f}));
    EXPECT_TRUE(equivalent({1, 1, nan, 0.5f}, {1, 1, 0.5f, 0.5f}));
    EXPECT_TRUE(equivalent({1, 1, 0.5f, nan}, {1, 1, 0.5f, 0.5f}));
    EXPECT_TRUE(equivalent({1, nan, 0.1f, 0.1f}, {1, 1, 0.9f, 0.9f}));
    EXPECT_TRUE(equivalent({-1, nan, nan, nan}, {-1, 0, 0, 0}));
    EXPECT_TRUE((DeblurredEntry{DeblurType(4), 2, -1, {-1, nan, 0, 0}} <
                 DeblurredEntry{DeblurType(4), 2, -1, {0, nan, 0, 0}}));
}

// Dabs blend the source into the disc only, clipped at the edges, never compounding within a
// stroke; nothing happens outside a stroke or without a suitable source; apply-all replaces.
TEST(SessionBrush, DabsBlendInsideTheDiscOnceAStrokeAndApplyAllReplaces) {
    constexpr int W = 64, H = 48;
    Session session;
    session.loadDecodedImage(uniform(100, 40, 250, W, H));
    const ImageRef source = uniform(200, 240, 10, W, H), before = composite(session);
    auto pixel = [&](int x, int y) {
        return session.reconstructed()->pixels() + (std::size_t(y) * W + x) * 4;
    };
    auto dab = [&](float size, float opacity, int x, int y, std::array<int, 4> box = {}) {
        Rect changed;
        session.applyBrush(source.get(), size, opacity, x, y, &changed);
        const std::array<int, 4> got{int(changed.x), int(changed.y), int(changed.width),
                                     int(changed.height)};
        EXPECT_TRUE(!box[2] || box == got) << x << "," << y;
    };
    dab(20.0f, 1.0f, 30, 24);  // no stroke open
    session.startBrush();
    session.applyBrush(nullptr, 20.0f, 1.0f, 30, 24, nullptr);
    dab(0.0f, 1.0f, 30, 24);                                                         // size 0
    session.applyBrush(uniform(0, 0, 0, 10, 10).get(), 20.0f, 1.0f, 5, 5, nullptr);  // other size
    session.endBrush();
    dab(20.0f, 1.0f, 30, 24);  // closed again
    EXPECT_TRUE(samePixels(composite(session), before));

    session.startBrush();
    dab(20.0f, 0.5f, 30, 24, {20, 14, 21, 21});
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double d = std::hypot(x - 30, y - 24);
            const std::uint8_t* p = pixel(x, y);
            ASSERT_EQ(p[0], 255);  // alpha untouched
            if (d > 11 || std::abs(x - 30) >= 11 || std::abs(y - 24) >= 11) {
                ASSERT_EQ((std::array<int, 3>{p[1], p[2], p[3]}), (std::array{100, 40, 250}))
                    << x << "," << y;
            } else if (d < 9) {  // weight = the opacity: the average of base and source
                ASSERT_TRUE(std::abs(p[1] - 150) <= 1) << x << "," << y;
                ASSERT_TRUE(std::abs(p[2] - 140) <= 1) << x << "," << y;
                ASSERT_TRUE(std::abs(p[3] - 130) <= 1) << x << "," << y;
            }
        }
    const ImageRef once = composite(session);
    for (int i = 0; i < 9; ++i) dab(20.0f, 0.5f, 30, 24);
    EXPECT_TRUE(samePixels(composite(session), once));
    // A stronger dab raises the weight; a weaker one does not lower it.
    dab(20.0f, 0.9f, 30, 24);
    EXPECT_NEAR(pixel(30, 24)[1], 190, 1);
    dab(20.0f, 0.1f, 30, 24);
    EXPECT_NEAR(pixel(30, 24)[1], 190, 1);
    // At the edges the disc clips; the corner's centre holds the opacity (100 + 0.8 × 100) and
    // nothing outside the disc's quarter changes.
    dab(20.0f, 0.8f, 0, 0, {0, 0, 11, 11});
    EXPECT_NEAR(pixel(0, 0)[1], 180, 1);
    for (auto [x, y] : {std::pair{11, 0}, {0, 11}, {10, 10}}) EXPECT_EQ(pixel(x, y)[1], 100);
    dab(20.0f, 0.8f, W - 1, H - 1, {W - 11, H - 11, 11, 11});
    // A new stroke blends from the current composite: 190 halfway to 200.
    session.startBrush();
    dab(20.0f, 0.5f, 30, 24);
    EXPECT_NEAR(pixel(30, 24)[1], 195, 1);

    Session empty;
    empty.startBrush();
    empty.applyBrush(source.get(), 20.0f, 1.0f, 3, 3, nullptr);
    empty.applyAll(source);
    EXPECT_EQ(empty.reconstructed(), nullptr);
    ImageRef candidate = Image::create(W, H);
    for (int i = 0; i < W * H * 4; ++i) candidate->pixels()[i] = std::uint8_t(i % 4 ? i * 31 : 255);
    session.applyAll(candidate);
    EXPECT_TRUE(samePixels(composite(session), candidate));
}
