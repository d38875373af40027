// End-to-end runs of the commands that drive the processing session: deblur, preview and grid.
// Their output is checked against the same session driven in this process.

#include <gtest/gtest.h>

#include <cstring>
#include <chrono>
#include <filesystem>
#include <thread>
#include <fstream>

#include "CliRunner.h"
#include "ImageIO.h"
#include "Session.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const char* const kPresets[] = {"USM1",  "USM2",  "USM3",  "USM4", "USM5", "USMF1", "USMF2",
                                "USMF3", "USMF4", "USMF5", "WF2",  "WF3",  "WI2",   "WI3",
                                "RL20",  "RL40",  "RL80",  "RT20", "RT40", "RT80",  "LA1",
                                "LA2",   "FR",    "blur"};

DeblurType presetType(int index) { return index == 23 ? DeblurBlurSimulation : index == 22 ? DeblurFR : DeblurType(index); }

// A small photograph: the 72 × 48 pixels of chelsea.png around the cat's eye.
std::string smallPhoto(const TempDir& dir) {
    ImageRef full = ImageIO::sharedInstance().readFromFile(dataPath("chelsea.png"));
    ImageRef small = Image::create(72, 48);
    for (int y = 0; y < 48; ++y)
        std::memcpy(small->pixels() + y * 72 * 4,
                    full->pixels() + ((y + 100) * full->width() + 180) * 4, 72 * 4);
    const std::string path = dir.file("small.png");
    EXPECT_TRUE(ImageIO::sharedInstance().writeImage(small, path));
    return path;
}

bool samePixels(const ImageRef& a, const ImageRef& b) {
    return a && b && a->width() == b->width() && a->height() == b->height() &&
           std::memcmp(a->pixels(), b->pixels(), std::size_t(a->width()) * a->height() * 4) == 0;
}

// The full deblur the session computes in this process.
ImageRef sessionDeblur(const std::string& photo, DeblurType type, int step, int angle,
                       MaskSettings mask) {
    Session s;
    EXPECT_TRUE(s.loadImage(photo));
    s.deblurStep(step, type, angle, mask.radius, mask.type, mask.opacity, mask.crudeness);
    return s.deblurredImage(DeblurredEntry{type, step, angle, mask});
}

class EnvPath {
public:
    explicit EnvPath(const std::string& value) : mOld(std::getenv("PATH") ? std::getenv("PATH") : "") {
        setenv("PATH", value.c_str(), 1);
    }
    ~EnvPath() { setenv("PATH", mOld.c_str(), 1); }

private:
    std::string mOld;
};

}  // namespace

TEST(CliDeblur, EveryPresetMatchesTheSession) {
    const TempDir dir;
    const std::string photo = smallPhoto(dir);
    for (int i = 0; i < 24; ++i) {
        const std::string out = dir.file(std::string("out_") + kPresets[i] + ".png");
        const CliRun run = cli({"deblur", photo, out, "--preset", kPresets[i], "--step", "1"});
        ASSERT_EQ(run.status, 0) << kPresets[i] << "\n" << run.err;
        EXPECT_NE(run.err.find(std::string("deblurring ") + kPresets[i] + " radius 0.5"),
                  std::string::npos)
            << run.err;
        ImageRef written = ImageIO::sharedInstance().readFromFile(out);
        ImageRef expected = sessionDeblur(photo, presetType(i), 1, -1, MaskSettings{});
        EXPECT_TRUE(samePixels(written, expected)) << kPresets[i];
    }
}

TEST(CliDeblur, MaskAngleAndFileType) {
    const TempDir dir;
    const std::string photo = smallPhoto(dir);
    const std::string out = dir.file("masked.png");
    const CliRun run = cli({"deblur", photo, out, "--preset", "rl20", "--step", "3", "--angle",
                            "30", "--mask", "B", "--mask-radius", "2", "--mask-opacity", "0.5",
                            "--mask-crudeness", "0.4"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(samePixels(ImageIO::sharedInstance().readFromFile(out),
                           sessionDeblur(photo, DeblurRL20, 3, 30, MaskSettings{1, 2, 0.5f, 0.4f})));

    const std::string jpeg = dir.file("out.jpg"), tiff = dir.file("out.tif");
    ASSERT_EQ(cli({"deblur", photo, jpeg, "--preset", "FR", "--step", "2", "--type", "JPEG",
                   "--quality", "80"}).status, 0);
    ASSERT_EQ(cli({"deblur", photo, tiff, "--preset", "FR", "--step", "2", "--type", "tiff"}).status, 0);
    const ByteBuffer j = readBytes(jpeg), t = readBytes(tiff);
    ASSERT_GE(j.size(), 3u);
    EXPECT_TRUE(j[0] == 0xFF && j[1] == 0xD8);
    ASSERT_GE(t.size(), 4u);
    EXPECT_TRUE((t[0] == 'I' && t[1] == 'I') || (t[0] == 'M' && t[1] == 'M'));
}

TEST(CliDeblur, CopyMetadataRunsExiftoolWithAbsolutePaths) {
    const TempDir dir;
    const std::string photo = smallPhoto(dir);
    // A stand-in exiftool that records its arguments, one per line.
    const std::string bin = dir.file("bin");
    fs::create_directories(bin);
    const std::string argsFile = dir.file("exiftool-args");
    {
        std::ofstream script(bin + "/exiftool");
        script << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" << argsFile << "'\n";
    }
    fs::permissions(bin + "/exiftool", fs::perms::owner_all);

    // Relative names, one that looks like an option, from inside the folder.
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    fs::copy_file(photo, dir.file("-in.png"));
    CliRun run;
    {
        EnvPath path(bin);
        run = cli({"deblur", "-in.png", "-out.png", "--preset", "USM1", "--step", "1",
                   "--copy-metadata"});
    }
    fs::current_path(previous);
    ASSERT_EQ(run.status, 0) << run.err;
    std::ifstream in(argsFile);
    std::vector<std::string> args;
    for (std::string line; std::getline(in, line);) args.push_back(line);
    EXPECT_EQ(args, (std::vector<std::string>{"-tagsFromFile", dir.file("-in.png"),
                                              "-overwrite_original", dir.file("-out.png")}));

    // Without exiftool: refused before anything is written.
    {
        EnvPath path(dir.file("nothing-here"));
        const std::string out = dir.file("never.png");
        run = cli({"deblur", photo, out, "--preset", "USM1", "--step", "1", "--copy-metadata"});
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.errLines().size(), 1u) << run.err;
        EXPECT_FALSE(fs::exists(out));
    }

    // The real program, when installed, copies the tags of a JPEG.
    if (fs::exists("/usr/bin/exiftool")) {
        const std::string out = dir.file("tags.jpg");
        run = cli({"deblur", dataPath("rocket.jpg"), out, "--preset", "FR", "--step", "1",
                   "--type", "JPEG", "--copy-metadata"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(ImageIO::sharedInstance().readFromFile(out));
    }
}

TEST(CliPreview, WritesTheMaskedPreviewOfTheSection) {
    const TempDir dir;
    // coffee.png is 600 × 400: the section around (590, 10) is (88, 0, 512, 400).
    const std::string photo = dataPath("coffee.png");
    const std::string out = dir.file("preview.png");
    const CliRun run = cli({"preview", photo, out, "--preset", "USMF2", "--step", "4", "--at",
                            "590,10", "--mask", "A", "--mask-radius", "3", "--mask-opacity", "0.7",
                            "--mask-crudeness", "0.3"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("section 88,0 512x400"), std::string::npos) << run.err;

    Session s;
    ASSERT_TRUE(s.loadImage(photo));
    const Rect section{88, 0, 512, 400};
    s.deblurPreviewAngleStep(4, DeblurUSMF2, -1, section);
    while (s.mPreviewBatches.load() || s.mRunningPreviews.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ImageRef expected =
        s.deblurredPreview(DeblurredEntry{DeblurUSMF2, 4, -1, {}}, 3, 0, 0.7f, 0.3f);
    ImageRef written = ImageIO::sharedInstance().readFromFile(out);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->width(), 512);
    EXPECT_EQ(written->height(), 400);
    EXPECT_TRUE(samePixels(written, expected));

    // Opacity -1 writes the mask itself, in grey.
    const std::string maskOut = dir.file("mask.png");
    ASSERT_EQ(cli({"preview", photo, maskOut, "--preset", "USMF2", "--step", "4", "--at",
                   "300,200", "--mask", "C", "--mask-opacity", "-1"}).status, 0);
    ImageRef mask = ImageIO::sharedInstance().readFromFile(maskOut);
    ASSERT_TRUE(mask);
    for (int i = 0; i < mask->width() * mask->height(); ++i) {
        const std::uint8_t* p = mask->pixels() + i * 4;
        ASSERT_TRUE(p[1] == p[2] && p[2] == p[3] && (p[1] == 0 || p[1] == 255));
    }
}

TEST(CliGrid, ContactSheetOfTheChosenPresets) {
    const TempDir dir;
    const std::string photo = smallPhoto(dir);
    const std::string out = dir.file("grid.png");
    const CliRun run = cli({"grid", photo, out, "--at", "10,10", "--presets", "USM1,rl20,blur,LA1",
                            "--steps", "3"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("(12 of 12)"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("cancelled"), std::string::npos);
    ImageRef sheet = ImageIO::sharedInstance().readFromFile(out);
    ASSERT_TRUE(sheet);
    // Four columns wider than three rows are tall, and both hold whole cells.
    EXPECT_GT(sheet->width(), 4 * 128);
    EXPECT_GT(sheet->height(), 3 * 128);
    EXPECT_GT(sheet->width(), sheet->height());

    // Default: every preset of the grid, here at one step.
    const std::string all = dir.file("all.png");
    const CliRun runAll = cli({"grid", photo, all, "--at", "1,1", "--steps", "1"});
    ASSERT_EQ(runAll.status, 0) << runAll.err;
    EXPECT_NE(runAll.err.find("(22 of 22)"), std::string::npos) << runAll.err;
    ImageRef allSheet = ImageIO::sharedInstance().readFromFile(all);
    ASSERT_TRUE(allSheet);
    EXPECT_GT(allSheet->width(), 22 * 128);
}

TEST(CliSessionErrors, EveryBadArgumentIsOneLineAndNothingIsWritten) {
    const TempDir dir;
    const std::string photo = smallPhoto(dir);
    const std::string out = dir.file("out.png");
    fs::create_directories(dir.file("folder"));
    const std::vector<std::vector<std::string>> cases = {
        {"deblur", photo, out, "--preset", "XYZ", "--step", "1"},
        {"deblur", photo, out, "--preset", "effect", "--step", "1"},
        {"deblur", photo, out, "--step", "1"},
        {"deblur", photo, out, "--preset", "RL20"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "0"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "31"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "two"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "2", "--angle", "400"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "2", "--mask", "Z"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "2", "--mask", "A", "--mask-opacity", "2"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "2", "--mask", "A", "--mask-opacity", "-1"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "2", "--mask-radius", "3"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "2", "--type", "GIF"},
        {"deblur", photo, out, "--preset", "RL20", "--step", "2", "--quality", "0"},
        {"deblur", dir.file("missing.png"), out, "--preset", "RL20", "--step", "2"},
        {"deblur", photo, dir.file("no/such/folder/out.png"), "--preset", "RL20", "--step", "2"},
        {"deblur", photo, dir.file("folder"), "--preset", "RL20", "--step", "2"},
        {"deblur", photo, "--preset", "RL20", "--step", "2"},
        {"preview", photo, out, "--preset", "RL20", "--step", "2", "--at", "72,10"},
        {"preview", photo, out, "--preset", "RL20", "--step", "2", "--at", "-1,10"},
        {"preview", photo, out, "--preset", "RL20", "--step", "2", "--at", "10;10"},
        {"preview", photo, out, "--preset", "RL20", "--step", "2"},
        {"preview", photo, out, "--preset", "nope", "--step", "2", "--at", "1,1"},
        {"preview", dir.file("missing.png"), out, "--preset", "RL20", "--step", "2", "--at", "1,1"},
        {"grid", photo, out, "--at", "1,1", "--presets", "USM1,bogus"},
        {"grid", photo, out, "--at", "1,1", "--steps", "31"},
        {"grid", photo, out, "--at", "100,1"},
        {"grid", photo, out},
        {"grid", photo, dir.file("no/such/out.png"), "--at", "1,1"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        const CliRun run = cli(args);
        EXPECT_NE(run.status, 0) << joined;
        EXPECT_EQ(run.errLines().size(), 1u) << joined << "\n" << run.err;
        EXPECT_FALSE(fs::exists(out)) << joined;
    }
    EXPECT_TRUE(fs::is_directory(dir.file("folder")));
}
