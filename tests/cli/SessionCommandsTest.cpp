// End-to-end runs of the commands that drive the processing session: deblur, preview, grid and
// estimate.
// Their output is checked against the same session driven in this process.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "CliRunner.h"
#include "../session/SessionTestSupport.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

ImageRef decode(const std::string& path) { return ImageIO::sharedInstance().readFromFile(path); }

// A small photograph: the 72 × 48 pixels of chelsea.png around the cat's eye.
std::string smallPhoto() { return chelseaCrop("cli_small.png", 180, 100, 72, 48); }

// The full deblur the session computes in this process.
ImageRef sessionDeblur(const std::string& photo, DeblurType type, int step, int angle, MaskSettings mask) {
    Session s;
    EXPECT_TRUE(s.loadImage(photo));
    const DeblurredEntry entry{type, step, angle, mask};
    s.deblur(entry);
    return s.deblurredImage(entry);
}

// Runs the tool with PATH set to `path`.
CliRun cliWithPath(const std::string& path, const std::vector<std::string>& args) {
    const std::string old = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", path.c_str(), 1);
    CliRun run = cli(args);
    setenv("PATH", old.c_str(), 1);
    return run;
}

}  // namespace

TEST(CliDeblur, PresetsMatchTheSession) {
    const TempDir dir;
    const std::string photo = smallPhoto();
    // One preset of each method, named as the grid names them (the blur simulation "blur").
    for (int t : {DeblurUSM1, DeblurUSMF2, DeblurWF2, DeblurWI3, DeblurRL20, DeblurRT40, DeblurLA1,
                  DeblurFR, DeblurBlurSimulation}) {
        const std::string name = t == DeblurBlurSimulation ? "blur" : DeblurTypeName(t);
        const std::string out = dir.file("out_" + name + ".png");
        const CliRun run = cli({"deblur", photo, out, "--preset", name, "--step", "1"});
        ASSERT_EQ(run.status, 0) << name << "\n" << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_TRUE(samePixels(decode(out), sessionDeblur(photo, DeblurType(t), 1, -1, {}))) << name;
    }
}

TEST(CliDeblur, MaskAngleAndFileType) {
    const TempDir dir;
    const std::string photo = smallPhoto(), out = dir.file("masked.png");
    const CliRun run = cli({"deblur", photo, out, "--preset", "rl20", "--step", "3", "--angle", "30",
                            "--mask", "B", "--mask-radius", "2", "--mask-opacity", "0.5",
                            "--mask-crudeness", "0.4"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(samePixels(decode(out), sessionDeblur(photo, DeblurRL20, 3, 30, {1, 2, 0.5f, 0.4f})));

    const std::string jpeg = dir.file("out.jpg"), tiff = dir.file("out.tif");
    ASSERT_EQ(cli({"deblur", photo, jpeg, "--preset", "FR", "--step", "2", "--type", "JPEG",
                   "--quality", "80"}).status, 0);
    ASSERT_EQ(cli({"deblur", photo, tiff, "--preset", "FR", "--step", "2", "--type", "tiff"}).status, 0);
    EXPECT_EQ(slurp(jpeg).rfind("\xFF\xD8", 0), 0u);
    EXPECT_EQ(slurp(tiff).rfind("II", 0), 0u);
}

TEST(CliDeblur, CopyMetadataRunsExiftoolWithAbsolutePaths) {
    const TempDir dir;
    const std::string photo = smallPhoto();
    // A stand-in exiftool that records its arguments, one per line.
    const std::string bin = dir.file("bin"), argsFile = dir.file("exiftool-args");
    fs::create_directories(bin);
    std::ofstream(bin + "/exiftool") << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" << argsFile << "'\n";
    fs::permissions(bin + "/exiftool", fs::perms::owner_all);

    // Relative names that look like options, from inside the folder.
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    fs::copy_file(photo, dir.file("-in.png"));
    CliRun run = cliWithPath(bin, {"deblur", "-in.png", "-out.png", "--preset", "USM1", "--step", "1",
                                   "--copy-metadata"});
    fs::current_path(previous);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(slurp(argsFile), "-tagsFromFile\n" + dir.file("-in.png") +
                                   "\n-Orientation#=1\n-overwrite_original\n" +
                                   dir.file("-out.png") + "\n");

    // Without exiftool: refused before anything is written.
    const std::string never = dir.file("never.png");
    run = cliWithPath(dir.file("nothing-here"),
                      {"deblur", photo, never, "--preset", "USM1", "--step", "1", "--copy-metadata"});
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_FALSE(fs::exists(never));

    // The real program, when installed, copies the tags of a JPEG.
    if (fs::exists("/usr/bin/exiftool")) {
        const std::string out = dir.file("tags.jpg");
        run = cli({"deblur", dataPath("rocket.jpg"), out, "--preset", "FR", "--step", "1", "--type",
                   "JPEG", "--copy-metadata"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(decode(out));
    }
}

TEST(CliPreview, WritesTheMaskedPreviewOfTheSection) {
    const TempDir dir;
    // coffee.png is 600 × 400: the section around (590, 10) is (88, 0, 512, 400).
    const std::string photo = dataPath("coffee.png"), out = dir.file("preview.png");
    const CliRun run = cli({"preview", photo, out, "--preset", "USMF2", "--step", "4", "--at", "590,10",
                            "--angle", "30", "--mask", "A", "--mask-radius", "3",
                            "--mask-opacity", "0.7", "--mask-crudeness", "0.3"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("section 88,0 512x400"), std::string::npos) << run.err;
    Session s;
    ASSERT_TRUE(s.loadImage(photo));
    s.deblurPreviewAngleStep(4, DeblurUSMF2, 30, Rect{88, 0, 512, 400});
    s.waitUntilIdle();
    EXPECT_TRUE(samePixels(decode(out), s.deblurredPreview(DeblurredEntry{DeblurUSMF2, 4, 30, {}}, 3, 0, 0.7f, 0.3f)));

    // Opacity -1 writes the mask itself, in grey; the artefact map is of the cell itself.
    const std::string maskOut = dir.file("mask.png"), mapOut = dir.file("map.png");
    ASSERT_EQ(cli({"preview", photo, maskOut, "--preset", "USMF2", "--step", "4", "--at", "300,200",
                   "--mask", "C", "--mask-opacity", "-1", "--artefacts", mapOut}).status, 0);
    ImageRef map = decode(mapOut);
    ASSERT_TRUE(map);
    EXPECT_EQ(map->width(), 512);
    EXPECT_EQ(map->height(), 400);
    ImageRef mask = decode(maskOut);
    ASSERT_TRUE(mask);
    for (int i = 0; i < mask->width() * mask->height(); ++i) {
        const std::uint8_t* p = mask->pixels() + i * 4;
        ASSERT_TRUE(p[1] == p[2] && p[2] == p[3] && (p[1] == 0 || p[1] == 255));
    }
}

TEST(CliGrid, ContactSheetOfTheChosenPresets) {
    const TempDir dir;
    const std::string photo = smallPhoto(), out = dir.file("grid.png"), all = dir.file("all.png");
    const CliRun run = cli({"grid", photo, out, "--at", "10,10", "--presets", "USM1,rl20,blur,LA1",
                            "--steps", "3", "--rank"});
    ASSERT_EQ(run.status, 0) << run.err;
    // --rank: standard output holds every cell once, best first, as "preset step score detail halo
    // noise", and nothing else.
    std::set<std::string> ranked;
    double previous = 1e300;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string preset;
        int step = 0;
        double score = 0, detail = 0, halo = -1, noise = -1;
        ASSERT_TRUE(fields >> preset >> step >> score >> detail >> halo >> noise) << line;
        EXPECT_LE(score, previous) << line;
        EXPECT_TRUE(halo >= 0 && noise >= 0) << line;
        previous = score;
        EXPECT_TRUE(ranked.insert(preset + " " + std::to_string(step)).second) << line;
    }
    EXPECT_EQ(ranked.size(), 12u) << run.out;
    EXPECT_NE(run.err.find("(12 of 12)"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("cancelled"), std::string::npos);
    // Without --rank standard output stays empty; the processing's own log lines only with
    // --verbose.
    const std::vector<std::string> one = {"grid", photo, all, "--at", "10,10", "--presets", "USM1",
                                          "--steps", "1"};
    std::vector<std::string> oneVerbose = one;
    oneVerbose.push_back("--verbose");
    const CliRun quiet = cli(one), verbose = cli(oneVerbose);
    ASSERT_TRUE(quiet.status == 0 && verbose.status == 0) << verbose.err;
    EXPECT_TRUE(verbose.out.empty()) << verbose.out;
    EXPECT_GT(verbose.errLines().size(), quiet.errLines().size()) << verbose.err;
    // Four columns of whole cells, wider than three rows are tall.
    ImageRef sheet = decode(out);
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->width() > 4 * 128 && sheet->height() > 3 * 128 && sheet->width() > sheet->height());
    // The best cell carries the gold badge.
    bool gold = false;
    for (int i = 0; i < sheet->width() * sheet->height() && !gold; ++i) {
        const std::uint8_t* p = sheet->pixels() + std::size_t(i) * 4;
        gold = p[1] == 255 && p[2] == 200 && p[3] == 40;
    }
    EXPECT_TRUE(gold);
    // Default: every preset of the grid, here at one step.
    const CliRun runAll = cli({"grid", photo, all, "--at", "1,1", "--steps", "1"});
    ASSERT_EQ(runAll.status, 0) << runAll.err;
    EXPECT_NE(runAll.err.find("(22 of 22)"), std::string::npos) << runAll.err;
    ASSERT_TRUE(decode(all));
    EXPECT_GT(decode(all)->width(), 22 * 128);
}

TEST(CliEstimate, OneLineOnStandardOutput) {
    const TempDir dir;
    const std::string photo = dataPath("coffee.png"), shaken = dir.file("shaken.png");
    ASSERT_EQ(cli({"deblur", photo, shaken, "--preset", "blur", "--step", "10", "--angle", "30"}).status, 0);
    const CliRun run = cli({"estimate", shaken, "--at", "300,200"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(run.out, std::regex("shape=motion radius=(4.5|5|5.5) angle=(2[0-9]|3[0-9]) "
                                                     "confidence=(0\\.[0-9][0-9]|1\\.00)\n")))
        << run.out;
    const CliRun sharp = cli({"estimate", photo, "--at", "300,200"});
    ASSERT_EQ(sharp.status, 0) << sharp.err;
    EXPECT_EQ(sharp.out.rfind("shape=none radius=0 angle=-1 confidence=", 0), 0u) << sharp.out;
}

TEST(CliSessionErrors, EveryBadArgumentIsOneLineAndNothingIsWritten) {
    const TempDir dir;
    const std::string photo = smallPhoto(), out = dir.file("out.png"), folder = dir.file("folder");
    fs::create_directories(folder);
    const std::map<std::string, std::string> names{
        {"IN", photo}, {"OUT", out}, {"MISSING", dir.file("missing.png")}, {"FOLDER", folder},
        {"NOWHERE", dir.file("no/such/folder/out.png")}};
    const char* cases[] = {
        "deblur IN OUT --preset XYZ --step 1",
        "deblur IN OUT --preset effect --step 1",
        "deblur IN OUT --step 1",
        "deblur IN OUT --preset RL20",
        "deblur IN OUT --preset RL20 --step 0",
        "deblur IN OUT --preset RL20 --step 31",
        "deblur IN OUT --preset RL20 --step 2 --angle 400",
        "deblur IN OUT --preset RL20 --step 2 --mask Z",
        "deblur IN OUT --preset RL20 --step 2 --mask A --mask-opacity -1",  // previews only
        "deblur IN OUT --preset RL20 --step 2 --mask-radius 3",
        "deblur IN OUT --preset RL20 --step 2 --type GIF",
        "deblur MISSING OUT --preset RL20 --step 2",
        "deblur IN NOWHERE --preset RL20 --step 2",
        "deblur IN FOLDER --preset RL20 --step 2",
        "preview IN OUT --preset RL20 --step 2 --at 72,10",
        "preview IN OUT --preset RL20 --step 2 --at -1,10",
        "preview IN OUT --preset RL20 --step 2 --at 10;10",
        "preview IN OUT --preset RL20 --step 2",
        "grid IN OUT --at 1,1 --presets USM1,bogus",
        "grid IN OUT --at 1,1 --steps 31",
        "grid IN NOWHERE --at 1,1",
        "grid IN OUT --at 1,1 --angle 30 --estimate",
        "grid IN OUT --at 1,1 --estimate=yes",
        "preview IN OUT --preset RL20 --step 2 --at 1,1 --angle 360",
        "estimate IN",
        "estimate IN --at 72,1",
        "estimate MISSING --at 1,1",
        "grid IN OUT --at 1,1 --rank=1",
        "preview IN OUT --preset RL20 --step 2 --at 1,1 --artefacts NOWHERE",
    };
    for (const char* line : cases) {
        const CliRun run = cli(words(line, names));
        EXPECT_NE(run.status, 0) << line;
        EXPECT_EQ(run.errLines().size(), 1u) << line << "\n" << run.err;
        EXPECT_FALSE(fs::exists(out)) << line;
    }
    EXPECT_TRUE(fs::is_directory(folder));
}
