// velkaro-cli run as a user would: output, exit status and the files written, the processing
// commands checked against the same session driven in this process.

#include <gtest/gtest.h>

#include <QColorSpace>
#include <QProcess>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "../session/SessionTestSupport.h"
#include "CliRunner.h"
#include "KernelFile.h"
#include "Matrix.h"
#include "SyntheticShake.h"

using namespace velkaro;

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// The full deblur the session computes in this process.
ImageRef sessionDeblur(const std::string& photo, DeblurType type, int step, int angle,
                       MaskSettings mask) {
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

// One tag's value as exiftool prints it alone ("" when the file has none).
std::string exiftoolTag(const std::string& tag, const std::string& path) {
    QProcess exiftool;
    exiftool.start("exiftool",
                   {"-s3", QString::fromStdString("-" + tag), QString::fromStdString(path)});
    exiftool.waitForFinished(30000);
    return exiftool.readAllStandardOutput().trimmed().toStdString();
}

// A test with a fresh folder and a small photograph: the 72 × 48 pixels of chelsea.png around
// the cat's eye.
struct Cli : ::testing::Test {
    const TempDir dir;
    const std::string photo = chelseaCrop("cli_small.png", 180, 100, 72, 48);
};

// The distinct levels of the green samples of `image`, at its own depth.
std::size_t greenLevels(const Image& image) {
    std::set<int> levels;
    const std::size_t n = std::size_t(image.width()) * image.height();
    for (std::size_t i = 0; i < n; ++i)
        levels.insert(image.depth() == 16
                          ? reinterpret_cast<const std::uint16_t*>(image.pixels())[4 * i + 2]
                          : image.pixels()[4 * i + 2]);
    return levels.size();
}

}  // namespace

TEST_F(Cli, DeblurPresetsMaskAndAngleMatchTheSession) {
    // One preset of each method, named as the grid names them (the blur simulation "blur"); the
    // Richardson-Lucy one with an angle and a mask, the thresholded one on a terminal.
    for (int t : {DeblurUSM1, DeblurUSMF2, DeblurWF2, DeblurWI3, DeblurRL20, DeblurRT40, DeblurLA1,
                  DeblurFR, DeblurBlurSimulation}) {
        const std::string name = t == DeblurBlurSimulation ? "blur" : DeblurTypeName(t);
        const std::string out = dir.file("out_" + name + ".png");
        const bool masked = t == DeblurRL20, terminal = t == DeblurRT40;
        const CliRun run = cli(words("deblur IN OUT --preset " + name +
                                         (masked ? " --step 3 --angle 30 --mask B --mask-radius 2 "
                                                   "--mask-opacity 0.5 --mask-crudeness 0.4"
                                                 : " --step 1"),
                                     {{"IN", photo}, {"OUT", out}}),
                               nullptr, terminal);
        ASSERT_EQ(run.status, 0) << name << "\n" << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
        // Progress, one line rewritten in place, shows on a terminal only.
        for (const char part : {'\r', '%'})
            EXPECT_EQ(run.err.find(part) != std::string::npos, terminal) << name << "\n" << run.err;
        EXPECT_TRUE(samePixels(decode(out),
                               masked  // typed 30°: the kernel's 150°
                                   ? sessionDeblur(photo, DeblurRL20, 3, 150, {1, 2, 0.5f, 0.4f})
                                   : sessionDeblur(photo, DeblurType(t), 1, -1, {})))
            << name;
    }
}

TEST_F(Cli, DeblurCopyMetadataRunsExiftoolWithAbsolutePathsAndKeepsTheIccProfile) {
    // A stand-in exiftool that records its arguments, one per line.
    const std::string bin = dir.file("bin"), argsFile = dir.file("exiftool-args");
    fs::create_directories(bin);
    std::ofstream(bin + "/exiftool")
        << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" << argsFile << "'\n";
    fs::permissions(bin + "/exiftool", fs::perms::owner_all);

    // Relative names that look like options, from inside the folder.
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    fs::copy_file(photo, dir.file("-in.png"));
    CliRun run = cliWithPath(bin, {"deblur", "-in.png", "-out.png", "--preset", "USM1", "--step",
                                   "1", "--copy-metadata"});
    fs::current_path(previous);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(slurp(argsFile), "-tagsFromFile\n" + dir.file("-in.png") +
                                   "\n-all\n-icc_profile\n-Orientation#=1\n-overwrite_original\n" +
                                   dir.file("-out.png") + "\n");

    // Without exiftool: refused before anything is written.
    const std::string never = dir.file("never.png");
    run = cliWithPath(dir.file("nothing-here"), {"deblur", photo, never, "--preset", "USM1",
                                                 "--step", "1", "--copy-metadata"});
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_FALSE(fs::exists(never));

    // The real program, when installed, copies the tags and the colour profile: a file whose
    // source carries an ICC profile carries that profile and no sRGB tag, in every type.
    if (!fs::exists("/usr/bin/exiftool"))
        return;
    const std::string icc = dir.file("wide.icc"), source = dir.file("wide.jpg");
    QColorSpace wide(QColorSpace::AdobeRgb);
    wide.setDescription("Velkaro test wide gamut");
    const QByteArray profile = wide.iccProfile();
    writeBytes(icc, ByteBuffer(profile.begin(), profile.end()));
    fs::copy_file(dataPath("rocket.jpg"), source);
    ASSERT_EQ(
        std::system(("exiftool -q -overwrite_original '-icc_profile<=" + icc + "' '" + source + "'")
                        .c_str()),
        0);
    ASSERT_EQ(exiftoolTag("ProfileDescription", source), "Velkaro test wide gamut");
    for (const char* name : {"kept.png", "kept.jpg", "kept.tif"}) {
        const std::string out = dir.file(name);
        run = cli({"deblur", source, out, "--preset", "FR", "--radius", "0.5", "--copy-metadata"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(exiftoolTag("ProfileDescription", out), "Velkaro test wide gamut") << name;
        EXPECT_EQ(exiftoolTag("SRGBRendering", out), "") << name;
        EXPECT_EQ(exiftoolTag("Make", out), exiftoolTag("Make", dataPath("rocket.jpg"))) << name;
        EXPECT_TRUE(decode(out));
    }
}

// Where `crop` lies, pixel for pixel, in `sheet` right of `fromX`: {x, y}, or {-1, -1}.
std::pair<int, int> find(const Image& sheet, const Image& crop, int fromX = 0) {
    const std::size_t row = std::size_t(crop.width()) * 4;
    for (int y = 0; y + crop.height() <= sheet.height(); ++y)
        for (int x = fromX; x + crop.width() <= sheet.width(); ++x) {
            int r = 0;
            while (r < crop.height() &&
                   std::memcmp(sheet.pixels() + (std::size_t(y + r) * sheet.width() + x) * 4,
                               crop.pixels() + r * row, row) == 0)
                ++r;
            if (r == crop.height())
                return {x, y};
        }
    return {-1, -1};
}

ImageRef centre(const ImageRef& image, int x, int y, int size) {
    return CropImage(CImage(image), x, y, size, size).asImage();
}

TEST_F(Cli, PreviewAndGridShowTheSessionsPreviewsOfTheSection) {
    // coffee.png is 600 × 400: the section around (590, 10) is (88, 0, 512, 400).
    const std::string photo = dataPath("coffee.png"), out = dir.file("preview.png");
    const CliRun run = cli({"preview", photo, out, "--preset", "USMF2", "--step", "4", "--at",
                            "590,10", "--angle", "30", "--mask", "A", "--mask-radius", "3",
                            "--mask-opacity", "0.7", "--mask-crudeness", "0.3"});
    ASSERT_EQ(run.status, 0) << run.err;
    Session s;
    ASSERT_TRUE(s.loadImage(photo));
    s.deblurPreviewAngleStep(4, DeblurUSMF2, 150, Rect{88, 0, 512, 400});  // typed 30°
    s.waitUntilIdle();
    EXPECT_TRUE(samePixels(decode(out), s.deblurredPreview(DeblurredEntry{DeblurUSMF2, 4, 150, {}},
                                                           3, 0, 0.7f, 0.3f)));

    // Opacity -1 writes the mask itself, in grey; the artefact map is of the cell itself.
    const std::string maskOut = dir.file("mask.png"), mapOut = dir.file("map.png");
    ASSERT_EQ(cli({"preview", photo, maskOut, "--preset", "USMF2", "--step", "4", "--at", "300,200",
                   "--mask", "C", "--mask-opacity", "-1", "--artefacts", mapOut})
                  .status,
              0);
    const ImageRef map = decode(mapOut), mask = decode(maskOut);
    ASSERT_TRUE(map);
    EXPECT_TRUE(map->width() == 512);
    EXPECT_TRUE(map->height() == 400);
    ASSERT_TRUE(mask);
    for (int i = 0; i < mask->width() * mask->height(); ++i) {
        const std::uint8_t* p = mask->pixels() + i * 4;
        ASSERT_TRUE(p[1] == p[2]);
        ASSERT_TRUE(p[2] == p[3]);
        ASSERT_TRUE(p[1] == 0 || p[1] == 255);
    }

    // The grid: its centre crops of 48 pixels at (88 + 232, 176), row by row, the original's crop
    // first, then each preset's, left to right at one height.
    const DeblurType presets[] = {DeblurUSM1, DeblurRL20, DeblurBlurSimulation};
    const std::string gridOut = dir.file("grid.png");
    const CliRun grid = cli({"grid", photo, gridOut, "--at", "590,10", "--presets",
                             "USM1,rl20,blur", "--steps", "2", "--crop", "48", "--verbose"});
    ASSERT_EQ(grid.status, 0) << grid.err;
    EXPECT_TRUE(grid.out.empty()) << grid.out;  // without --rank, even with --verbose
    const ImageRef sheet = decode(gridOut);
    ASSERT_TRUE(sheet);
    for (int step = 1; step <= 2; ++step) {
        int x = find(*sheet, *centre(s.original()->asImage(), 88 + 232, 176, 48)).first, y = -1;
        EXPECT_GE(x, 0);
        for (DeblurType type : presets) {
            s.deblurPreviewAngleStep(step, type, -1, Rect{88, 0, 512, 400});
            s.waitUntilIdle();
            const ImageRef preview =
                s.deblurredPreview(DeblurredEntry{type, step, -1, {}}, 0, -1, 0, 0);
            ASSERT_TRUE(preview);
            const auto at = find(*sheet, *centre(preview, 232, 176, 48), x + 1);
            EXPECT_GT(at.first, x) << DeblurTypeName(type) << " step " << step;
            EXPECT_TRUE(y < 0 || at.second == y) << DeblurTypeName(type) << " step " << step;
            x = at.first;
            y = at.second;
        }
    }
}

TEST_F(Cli, GridRankPrintsEveryCellBestFirstAndBadgesTheBest) {
    // The cat's eye blurred by a disc of radius 2 has detail to restore. A black picture has none:
    // no cell scores above it, and the original itself (the pass-through FR) ranks first.
    const std::string black = dir.file("black.png"), blurred = dir.file("blurred.png");
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(Image::create(72, 48), black));
    ASSERT_EQ(cli({"deblur", photo, blurred, "--preset", "blur", "--step", "4"}).status, 0);
    for (const bool plain : {false, true}) {
        SCOPED_TRACE(plain);
        const std::string out = dir.file("grid.png");
        const CliRun run = cli({"grid", plain ? black : blurred, out, "--at", "10,10", "--presets",
                                "USM1,rl20,blur,LA1", "--steps", "3", "--rank", "--crop", "0"});
        ASSERT_EQ(run.status, 0) << run.err;
        // --rank: standard output holds every cell once, best first, as "preset step score
        // detail halo noise", and nothing else.
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
            EXPECT_TRUE(halo >= 0) << line;
            EXPECT_TRUE(noise >= 0) << line;
            EXPECT_EQ(preset == "FR", plain && ranked.empty()) << line;
            previous = score;
            EXPECT_TRUE(ranked.insert(preset + " " + std::to_string(step)).second) << line;
        }
        EXPECT_EQ(ranked.size(), plain ? 13u : 12u) << run.out;
        const ImageRef sheet = decode(out);
        ASSERT_TRUE(sheet);
        const std::uint8_t gold[] = {255, 255, 200, 40};  // the first badge
        const std::uint8_t *begin = sheet->pixels(),
                           *end = begin + std::size_t(sheet->width()) * sheet->height() * 4;
        EXPECT_NE(std::search(begin, end, gold, gold + 4), end);
    }
}

TEST_F(Cli, DeblurBatchGoesPastABadPhotographAndRadiusIsHalfTheStep) {
    const std::string folder = dir.file("out");
    fs::create_directories(folder);
    const std::string good = dir.file("good.png"), other = dir.file("other.jpg"),
                      bad = dir.file("bad.png");
    fs::copy_file(photo, good);
    fs::copy_file(dataPath("rocket.jpg"), other);
    std::ofstream(bad) << "not a picture";
    const CliRun run = cli({"deblur", good, bad, other, "--out-dir", folder, "--preset", "USMF2",
                            "--radius", "1.5", "--suffix", "-sharp"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.errLines().back().find("'" + bad + "'"), std::string::npos) << run.err;
    EXPECT_EQ(run.errLines().back().find(good), std::string::npos) << run.err;
    // The good ones are written in their own types, as the session deblurs at step 3; nothing
    // stands for the bad one.
    EXPECT_FALSE(fs::exists(folder + "/bad-sharp.png"));
    EXPECT_EQ(slurp(folder + "/other-sharp.jpg").rfind("\xFF\xD8", 0), 0u);
    EXPECT_TRUE(samePixels(decode(folder + "/good-sharp.png"),
                           sessionDeblur(photo, DeblurUSMF2, 3, -1, {})));
}

TEST_F(Cli, EveryBadArgumentIsOneLineAndNothingIsWritten) {
    const std::string out = dir.file("out.png"), folder = dir.file("folder");
    fs::create_directories(folder);
    const std::string missing = dir.file("missing.png"), webp = dir.file("out.webp"),
                      nowhere = dir.file("no/such/folder/out.png");
    const std::map<std::string, std::string> names{{"IN", photo},        {"OUT", out},
                                                   {"MISSING", missing}, {"FOLDER", folder},
                                                   {"NOWHERE", nowhere}, {"WEBP", webp}};
    // Usage errors (status 2), then what the processing commands refuse.
    const char* cases[] = {
        "",
        "sharpen IN",
        "info",
        "info IN IN",
        "info IN --type PNG",
        "convert IN",
        "convert IN OUT --tiff-compression zip",
        "convert IN OUT --quality 0",
        "convert IN OUT --quality 101",
        "convert IN OUT --quality 9x",
        "convert IN OUT --quality",
        "convert IN OUT --type BMP",
        "convert IN OUT --quality 5 --quality 6",
        "deblur IN OUT --preset XYZ --step 1",
        "deblur IN OUT --step 1",
        "deblur IN OUT --preset RL20",
        "deblur IN OUT --preset RL20 --step 0",
        "deblur IN OUT --preset RL20 --step 2 --angle 400",
        "deblur IN OUT --preset RL20 --step 2 --mask Z",
        "deblur IN OUT --preset RL20 --step 2 --mask A --mask-opacity -1",  // previews only
        "deblur IN OUT --preset RL20 --step 2 --type GIF",
        "deblur MISSING OUT --preset RL20 --step 2",
        "preview IN OUT --preset RL20 --step 2 --at 72,10",
        "preview IN OUT --preset RL20 --step 2 --at 10;10",
        "preview IN OUT --preset RL20 --step 2",
        "grid IN OUT --at 1,1 --presets USM1,bogus",
        "grid IN OUT --at 1,1 --steps 31",
        "grid IN OUT --at 1,1 --crop -1",
        "deblur IN OUT --preset RL20 --step 2 --radius 1",
        "deblur IN OUT --preset RL20 --radius 1.25",
        "preview IN OUT --preset RL20 --radius 0.7 --at 1,1",
        "deblur IN WEBP --preset RL20 --step 2",
        "deblur IN IN --out-dir FOLDER --preset RL20 --step 2 --suffix",
        "deblur IN OUT --preset RL20 --step 2 --suffix -x",
        "deblur --out-dir FOLDER --preset RL20 --step 2",
        "grid IN OUT --at 1,1 --angle 30 --estimate",
        "preview IN OUT --preset RL20 --step 2 --at 1,1 --angle 360",
        "estimate IN",
        "estimate IN --at 72,1",
        "grid IN OUT --at 1,1 --rank=1",
        "preview IN OUT --preset RL20 --step 2 --at 1,1 --artefacts NOWHERE",
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const char* line = cases[k];
        const CliRun run = cli(words(line, names));
        EXPECT_TRUE(k < 13 ? run.status == 2 : run.status != 0) << line;
        ASSERT_EQ(run.errLines().size(), 1u) << line << "\n" << run.err;
        EXPECT_TRUE(run.out.empty()) << line;
        EXPECT_FALSE(fs::exists(out) || fs::exists(webp)) << line;
    }
    EXPECT_TRUE(fs::is_directory(folder));
}

TEST_F(Cli, ConvertTheNameDecidesTheTypeAndWhatCannotBeWrittenIsRefused) {
    // PNG: exactly the decoded pixels.
    const std::string png = dir.file("coffee.png");
    ASSERT_EQ(cli({"convert", dataPath("coffee.png"), png}).status, 0);
    ASSERT_TRUE(decode(png));
    EXPECT_EQ(compare(*decode(dataPath("coffee.png")), *decode(png), true).maxAbs, 0);
    // The quality is honoured.
    const std::string fine = dir.file("fine.jpg"), coarse = dir.file("coarse.jpeg");
    ASSERT_EQ(cli({"convert", dataPath("rocket.jpg"), fine, "--quality", "95"}).status, 0);
    ASSERT_EQ(cli({"convert", dataPath("rocket.jpg"), coarse, "--quality=5"}).status, 0);
    EXPECT_LT(readBytes(coarse).size() * 3, readBytes(fine).size());

    // Name and --type: the bytes written start as the type's files do; refused ones write nothing.
    struct Case {
        const char* name;
        const char* type;   // "" for none
        const char* magic;  // "" when refused
    };
    const Case cases[] = {
        {"a.png", "", "\x89PNG"},
        {"a.PNG", "png", "\x89PNG"},
        {"a.jpg", "", "\xFF\xD8"},
        {"a.tif", "", "II"},
        {"a.tiff", "TIFF", "II"},
        {"noextension", "", "\x89PNG"},
        {"jpeg-noext", "JPEG", "\xFF\xD8"},
        {"tiff-noext", "tif", "II"},
        {"a.webp", "", ""},
        {"a.bmp", "PNG", ""},
        {"a.png", "JPEG", ""},
        {"a.tif", "gif", ""},
        {"a.", "", ""},
    };
    for (const Case& c : cases) {
        const std::string out = dir.file(c.name);  // each name succeeds at most once
        std::vector<std::string> args{"convert", dataPath("palette_color.png"), out};
        if (*c.type)
            args.insert(args.end(), {"--type", c.type});
        const CliRun run = cli(args);
        if (*c.magic) {
            EXPECT_EQ(run.status, 0) << c.name << " " << c.type << ": " << run.err;
            EXPECT_EQ(slurp(out).rfind(c.magic, 0), 0u) << c.name << " " << c.type;
            ASSERT_TRUE(decode(out)) << c.name;
        } else {
            EXPECT_EQ(run.status, 2) << c.name << " " << c.type;
            ASSERT_EQ(run.errLines().size(), 1u) << run.err;
        }
    }
}

TEST_F(Cli, KernelOptionsTakeAKernelFileTheShakeEstimateAndBrightnessOnly) {
    const std::string photo = dataPath("coffee.png"), shaken = dir.file("shaken.png");
    const CImage sharp(decode(photo));
    const KernelImageRef shake = SyntheticShakeKernel(22, 7);
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(
        SyntheticBlur(sharp, *shake, 1.0 / 255, 3).asImage(), shaken));
    const std::string kernelFile = dir.file("kernel.png"), black = dir.file("black.png"),
                      text = dir.file("text.png"), out = dir.file("out.png");
    ASSERT_TRUE(WriteKernelFile(kernelFile, *shake));
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(Image::create(9, 9), black));
    std::ofstream(text) << "not a picture";

    // A kernel picture and brightness only: the session's own preview with the kernel as read.
    std::string reason;
    const KernelImageRef read = ReadKernelFile(kernelFile, reason);
    ASSERT_TRUE(read) << reason;
    ASSERT_EQ(cli({"preview", shaken, out, "--preset", "RL20", "--step", "6", "--at", "300,200",
                   "--kernel", kernelFile, "--luma"})
                  .status,
              0);
    Session s;
    ASSERT_TRUE(s.loadImage(shaken));
    s.setBrightnessOnly(true);
    s.deblurPreviewAngleStep(6, DeblurRL20, BlurKernel(read), Rect{44, 0, 512, 400});
    s.waitUntilIdle();
    EXPECT_TRUE(samePixels(
        decode(out),
        s.deblurredPreview(DeblurredEntry{DeblurRL20, 6, -1, {}, read, true}, 0, -1, 0, 0)));

    // Kernels that cannot be had: one line, nothing written; status 1 for a file that is no
    // kernel, 2 for options that make no sense together.
    fs::remove(out);
    const std::map<std::string, std::string> names{
        {"IN", shaken}, {"OUT", out}, {"BLACK", black}, {"TEXT", text}, {"K", kernelFile}};
    const std::pair<const char*, int> refused[] = {
        {"preview IN OUT --preset RL20 --step 2 --at 9,9 --kernel BLACK", 1},
        {"deblur IN OUT --preset RL20 --step 2 --kernel TEXT", 1},
        {"grid IN OUT --at 9,9 --kernel MISSING.png", 1},
        {"grid IN OUT --at 9,9 --kernel K --shape disc", 2},
        {"grid IN OUT --at 9,9 --kernel K --angle 30", 2},
        {"grid IN OUT --at 9,9 --estimate --shape shake", 2},
        {"preview IN OUT --preset RL20 --step 2 --at 9,9 --shape motion", 2},
        {"preview IN OUT --preset RL20 --step 2 --at 9,9 --shape spiral", 2},
        {"deblur IN OUT --preset RL20 --step 2 --shape shake", 2},
        {"deblur IN OUT --preset RL20 --step 2 --at 9,9", 2},
        {"estimate IN --at 9,9 --kernel-out", 2},
    };
    for (const auto& [line, status] : refused) {
        const CliRun run = cli(words(line, names));
        EXPECT_EQ(run.status, status) << line << "\n" << run.err;
        EXPECT_EQ(run.errLines().size(), 1u) << line << "\n" << run.err;
        EXPECT_FALSE(fs::exists(out)) << line;
    }

    // The shake estimated at the point: a sheet of the kernel scaled to each row's radius.
    const std::string sheet = dir.file("sheet.png");
    const CliRun grid = cli({"grid", shaken, sheet, "--at", "300,200", "--shape", "shake",
                             "--presets", "RL20", "--steps", "3", "--crop", "64"});
    ASSERT_EQ(grid.status, 0) << grid.err;
    EXPECT_TRUE(decode(sheet));

    // The estimated kernel written as a 16-bit grey PNG of the side printed.
    const std::string written = dir.file("estimated.png");
    const CliRun estimate = cli({"estimate", shaken, "--at", "300,200", "--kernel-out", written});
    ASSERT_EQ(estimate.status, 0) << estimate.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        estimate.out, m, std::regex("shape=shake size=([0-9]+) confidence=[01]\\.[0-9]+\n")))
        << estimate.out;
    const std::string png = slurp(written);
    ASSERT_GT(png.size(), 26u);
    EXPECT_EQ(png[24], 16);  // bit depth
    EXPECT_EQ(png[25], 0);   // grey
    const KernelImageRef back = ReadKernelFile(written, reason);
    ASSERT_TRUE(back) << reason;
    EXPECT_EQ(back->size(), std::stoi(m[1]));

    // A streak blurred at 30° (rising to the right) reads about 30°, typed and read alike, on one
    // line of standard output; its estimate is written as the line of the radius and angle
    // printed, to 16-bit rounding of its largest weight. The sharp photograph reads as no blur.
    const std::string streaked = dir.file("streaked.png"), line = dir.file("line.png");
    ASSERT_EQ(cli({"deblur", photo, streaked, "--preset", "blur", "--step", "10", "--angle", "30"})
                  .status,
              0);
    const CliRun motion = cli({"estimate", streaked, "--at", "300,200", "--kernel-out", line});
    ASSERT_EQ(motion.status, 0) << motion.err;
    EXPECT_TRUE(std::regex_match(motion.out,
                                 std::regex("shape=motion radius=(4.5|5|5.5) angle=(2[0-9]|3[0-9]) "
                                            "confidence=(0\\.[0-9][0-9]|1\\.00)\n")))
        << motion.out;
    const CliRun none = cli({"estimate", photo, "--at", "300,200"});
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out.rfind("shape=none radius=0 angle=-1 confidence=", 0), 0u) << none.out;
    double radius = 0;
    int angle = 0;
    ASSERT_EQ(std::sscanf(motion.out.c_str(), "shape=motion radius=%lf angle=%d", &radius, &angle),
              2)
        << motion.out;
    const BlurKernel printed(KernelAngleFromProtractor(angle));
    const int n = SizeForFilter(radius, printed);
    Matrix f(n, n);
    GenerateFilter(f, radius, printed);
    const KernelImageRef expected =
        KernelImage::fromWeights(n, std::vector<double>(f.roData(), f.roData() + f.count()));
    const KernelImageRef lineBack = ReadKernelFile(line, reason);
    ASSERT_TRUE(expected && lineBack) << reason;
    ASSERT_EQ(lineBack->size(), expected->size());
    const double peak = *std::max_element(expected->weights().begin(), expected->weights().end());
    for (int i = 0; i < n * n; ++i)
        EXPECT_NEAR(lineBack->weights()[i], expected->weights()[i], peak / 65535 * 2) << i;
}

// Photographs of 16 bits a sample: read, deblurred and written at full depth.
// A smooth gradient, blurred and then deblurred by RL40 through the tool: at 16 bits the result
// keeps thousands of levels and stays the gradient; through 8 bits it has at most 256 (steps).
TEST(CliDepth, SixteenBitGradientDeblursWithoutBandingAndDepthIsKeptOrChosen) {
    const TempDir dir;
    const int w = 480, h = 96;
    auto gradient = Image::create(w, h, 16);
    auto* p = reinterpret_cast<std::uint16_t*>(gradient->pixels());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x, p += 4) {
            const double t = 0.8 * x / (w - 1) + 0.2 * y / (h - 1);
            p[0] = 65535;
            p[1] = std::uint16_t(8000 + 40000 * t);
            p[2] = std::uint16_t(12000 + 30000 * t);
            p[3] = std::uint16_t(20000 + 20000 * t * t);
        }
    const std::string sharp = dir.file("gradient.png"), blurred = dir.file("blurred.tif");
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(gradient, sharp));
    CliRun info = cli({"info", sharp});
    EXPECT_NE(info.out.find("depth: 16-bit RGB"), std::string::npos) << info.out;

    ASSERT_EQ(cli({"deblur", sharp, blurred, "--preset", "blur", "--radius", "2"}).status, 0);
    ASSERT_EQ(cli({"convert", blurred, dir.file("blurred8.png"), "--depth", "8"}).status, 0);
    ASSERT_EQ(
        cli({"deblur", blurred, dir.file("rl16.png"), "--preset", "RL40", "--radius", "2"}).status,
        0);
    ASSERT_EQ(cli({"deblur", dir.file("blurred8.png"), dir.file("rl8.png"), "--preset", "RL40",
                   "--radius", "2"})
                  .status,
              0);
    // Blended back towards the photograph through a mask, still at 16 bits.
    ASSERT_EQ(cli({"deblur", blurred, dir.file("masked.png"), "--preset", "RL40", "--radius", "2",
                   "--mask", "B", "--mask-opacity", "0.8"})
                  .status,
              0);
    const ImageRef deep = decode(dir.file("rl16.png")), shallow = decode(dir.file("rl8.png"));
    const ImageRef masked = decode(dir.file("masked.png"));
    ASSERT_TRUE(decode(blurred) && decode(blurred)->depth() == 16);
    ASSERT_TRUE(deep && shallow && masked);
    EXPECT_EQ(deep->depth(), 16);
    EXPECT_EQ(shallow->depth(), 8);
    EXPECT_EQ(masked->depth(), 16);
    EXPECT_GE(greenLevels(*deep), 4000u);
    EXPECT_GE(greenLevels(*masked), 4000u);
    EXPECT_LE(greenLevels(*shallow), 256u);
    // Away from the edges the deblurred gradient is the gradient.
    const auto* d = reinterpret_cast<const std::uint16_t*>(deep->pixels());
    const auto* g = reinterpret_cast<const std::uint16_t*>(gradient->pixels());
    double worst = 0;
    for (int y = 16; y < h - 16; ++y)
        for (int x = 16; x < w - 16; ++x)
            for (int c = 1; c <= 3; ++c) {
                const std::size_t at = (std::size_t(y) * w + x) * 4 + c;
                worst = std::max(worst, std::abs(double(d[at]) - double(g[at])));
            }
    EXPECT_LT(worst, 300.0);

    // --depth chooses; JPEG is 8-bit only.
    struct Case {
        std::vector<std::string> args;
        int status;
        int depth;
    };
    const Case cases[] = {
        {{"convert", sharp, dir.file("same.tif")}, 0, 16},
        {{"convert", sharp, dir.file("eight.tif"), "--depth", "8"}, 0, 8},
        {{"convert", dir.file("blurred8.png"), dir.file("wide.png"), "--depth", "16"}, 0, 16},
        {{"deblur", sharp, dir.file("fr8.png"), "--preset", "FR", "--radius", "1", "--depth", "8"},
         0,
         8},
        {{"convert", sharp, dir.file("no.jpg"), "--depth", "16"}, 2, 0},
        {{"convert", sharp, dir.file("no.png"), "--depth", "12"}, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[2]);
        const CliRun run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        const ImageRef written = decode(c.args[2]);
        EXPECT_EQ(written ? written->depth() : 0, c.depth);
    }
    // Widened exactly, and the pass-through narrowed to the nearest level.
    const ImageRef eight = decode(dir.file("blurred8.png")), wide = decode(dir.file("wide.png"));
    ASSERT_TRUE(eight && wide);
    EXPECT_EQ(*ImageAtDepth(eight, 16)->data(), *wide->data());
    EXPECT_EQ(*ImageAtDepth(wide, 8)->data(), *eight->data());
    EXPECT_EQ(*ImageAtDepth(gradient, 8)->data(), *decode(dir.file("fr8.png"))->data());
}
