// velkaro-cli deblur --recipe and replay: the same pixels again, the same operations on another
// rendering, the size check, and the batch's skip and resume.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "../session/SessionTestSupport.h"
#include "CliRunner.h"
#include "RecipeFile.h"

using namespace velkaro;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// A photograph with other pixels of the same size: each channel's value mirrored (another
// development of the same raw, as far as replay can tell).
std::string redeveloped(const std::string& photo, const std::string& path) {
    const CImage image(ImageIO::sharedInstance().readFromFile(photo));
    CImage other(image.width(), image.height());
    other.copyFrom(image);
    std::uint8_t* p = other.pixels();
    for (int i = 0; i < image.width() * image.height() * 4; ++i)
        if (i % 4 != 0)
            p[i] = std::uint8_t(255 - p[i]);
    ImageIO::sharedInstance().writeImage(other.asImage(), path);
    return path;
}

// Deblurs `in` into `out` and, with `recipe`, writes its recipe.
void deblur(const std::string& in, const std::string& out, const std::string& recipe = "") {
    const CliRun run =
        cli(words("deblur IN OUT --preset RL20 --step 3 --angle 30 --mask B --mask-opacity 0.6" +
                      std::string(recipe.empty() ? "" : " --recipe R"),
                  {{"IN", in}, {"OUT", out}, {"R", recipe}}));
    ASSERT_EQ(run.status, 0) << run.err;
}

struct Replay : ::testing::Test {
    const TempDir dir;
    const std::string photo = chelseaCrop("replay_small.png", 180, 100, 72, 48);
    const std::string recipe = dir.file("sharp.velkaro.json");
    const std::string sharp = dir.file("sharp.png");
    void SetUp() override { deblur(photo, sharp, recipe); }
};

}  // namespace

TEST_F(Replay, SameSourceSamePixelsOtherSourceSameOperationsOtherSizeNoStrokes) {
    Recipe r;
    RecipeError error;
    ASSERT_TRUE(ReadRecipeFile(r, recipe, error)) << error.text();
    EXPECT_EQ(r.source.sha256, FileSha256(photo));
    // A stroke of the original back over the deblurred composite.
    RecipeOperation stroke;
    stroke.picture = RecipePicture::Original;
    stroke.size = 9;
    stroke.opacity = 0.8f;
    stroke.points = {{10, 10}, {14, 12}, {30, 20}};
    r.operations.push_back(stroke);
    const std::string stroked = dir.file("stroked.velkaro.json");
    ASSERT_TRUE(WriteRecipeFile(stroked, r));
    const std::string other = redeveloped(photo, dir.file("other.png"));
    const std::string small = chelseaCrop("replay_smaller.png", 180, 100, 40, 30);
    const std::string otherSharp = dir.file("other-sharp.png");
    deblur(other, otherSharp);
    const std::string smallSharp = dir.file("small-sharp.png");
    deblur(small, smallSharp);

    const struct {
        const char* what;
        std::string line;
        int status;
        std::string expected;  // the file of the same pixels; "" for no output
    } cases[] = {
        {"the recipe's own photograph", "replay RECIPE OUT", 0, sharp},
        {"named again", "replay RECIPE PHOTO OUT", 0, sharp},
        {"re-developed", "replay RECIPE OTHER OUT", 0, otherSharp},
        {"smaller, no strokes", "replay RECIPE SMALL OUT", 0, smallSharp},
        {"smaller, strokes", "replay STROKED SMALL OUT", 1, ""},
        {"smaller, strokes left out", "replay STROKED SMALL OUT --without-strokes", 0, smallSharp},
        {"no such photograph", "replay RECIPE MISSING OUT", 1, ""},
        {"no recipe", "replay MISSING OUT", 1, ""},
        {"OUT only in batches", "replay RECIPE OUT --force", 2, ""},
    };
    for (const auto& c : cases) {
        const std::string out = dir.file("out.png");
        fs::remove(out);
        const CliRun run = cli(words(c.line, {{"RECIPE", recipe},
                                              {"STROKED", stroked},
                                              {"PHOTO", photo},
                                              {"OTHER", other},
                                              {"SMALL", small},
                                              {"MISSING", dir.file("missing.png")},
                                              {"OUT", out}}));
        EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.err;
        EXPECT_TRUE(run.out.empty()) << c.what;
        if (c.expected.empty()) {
            EXPECT_FALSE(fs::exists(out)) << c.what;
        } else {
            EXPECT_TRUE(samePixels(decode(out), decode(c.expected))) << c.what;
        }
    }

    // The stroke itself, on the photograph it was painted for: the original comes back where
    // the brush went, and the deblurred pixels stay away from it.
    const std::string out = dir.file("stroked.png");
    ASSERT_EQ(cli({"replay", stroked, out}).status, 0);
    const CImage got(decode(out)), original(decode(photo)), deblurred(decode(sharp));
    const auto at = [](const CImage& image, int x, int y) {
        return image.pixels()[(std::size_t(y) * image.width() + x) * 4 + 2];
    };
    EXPECT_NEAR(at(got, 14, 12), 0.8 * at(original, 14, 12) + 0.2 * at(deblurred, 14, 12), 1);
    EXPECT_EQ(at(got, 60, 40), at(deblurred, 60, 40));

    // A recipe made nonsense is refused, naming the field, and nothing is written.
    std::string json = slurp(recipe);
    json.replace(json.find("\"step\":3"), 8, "\"step\":0");
    std::ofstream(dir.file("bad.velkaro.json")) << json;
    const CliRun bad = cli({"replay", dir.file("bad.velkaro.json"), out + ".png"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("deblurs[0].step"), std::string::npos) << bad.err;
    EXPECT_FALSE(fs::exists(out + ".png"));
}

TEST_F(Replay, BatchSkipsNewerOutputsResumesAndForceRedoes) {
    const std::string in = dir.file("in"), outDir = dir.file("out");
    fs::create_directories(in);
    fs::create_directories(outDir);
    std::vector<std::string> inputs;
    for (int i = 0; i < 3; ++i) {
        inputs.push_back(in + "/frame" + std::to_string(i) + ".png");
        chelseaCrop("replay_frame.png", 100 + 20 * i, 80, 64, 40);
        fs::copy_file(testOutputPath("replay_frame.png"), inputs.back(),
                      fs::copy_options::overwrite_existing);
    }
    std::ofstream(in + "/broken.png") << "not a picture";
    const auto outputOf = [&](int i) { return outDir + "/frame" + std::to_string(i) + ".png"; };
    const auto batch = [&](bool force) {
        std::vector<std::string> args{
            "replay",  recipe,    "--without-strokes", inputs[0], in + "/broken.png",
            inputs[1], inputs[2], "--out-dir",         outDir};
        if (force)
            args.push_back("--force");
        return cli(args);
    };

    CliRun run = batch(false);
    EXPECT_EQ(run.status, 1) << run.err;  // the broken one failed, the others went on
    EXPECT_NE(run.err.find("1 of 4 photographs failed"), std::string::npos) << run.err;
    for (int i = 0; i < 3; ++i) {
        const std::string expected = dir.file("expected.png");
        deblur(inputs[i], expected);
        EXPECT_TRUE(samePixels(decode(outputOf(i)), decode(expected))) << i;
    }

    // Interrupted after the first: the second's output is gone, the third's older than its
    // input. The rerun redoes those two and keeps the first.
    const auto old = fs::last_write_time(inputs[0]) - std::chrono::hours(1);
    fs::remove(outputOf(1));
    fs::last_write_time(outputOf(2), old);
    const auto first = fs::last_write_time(outputOf(0));
    run = batch(false);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(fs::last_write_time(outputOf(0)), first);
    EXPECT_TRUE(fs::exists(outputOf(1)));
    EXPECT_GT(fs::last_write_time(outputOf(2)), fs::last_write_time(inputs[2]));

    fs::last_write_time(outputOf(0), fs::last_write_time(inputs[0]) + std::chrono::hours(1));
    const auto kept = fs::last_write_time(outputOf(0));
    run = batch(true);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(fs::last_write_time(outputOf(0)), kept);
}

TEST_F(Replay, GnuParallelOnTwoLocalSlotsWritesEveryOutputAndResumes) {
    if (std::system("command -v parallel > /dev/null") != 0)
        GTEST_SKIP() << "GNU parallel is not installed (scripts/install-deps installs it)";
    // The README's form for many hosts, with this machine as the one host of two job slots.
    fs::create_directories(dir.file("raw"));
    fs::copy_file(recipe, dir.file("recipe.velkaro.json"));
    const int frames = 6;
    for (int i = 0; i < frames; ++i)
        fs::copy_file(chelseaCrop("replay_frame.png", 60 + 30 * i, 90, 64, 40),
                      dir.file("raw/frame" + std::to_string(i) + ".png"));
    const std::string command =
        "cd '" + dir.path() + "' && PATH='" + VELKARO_RUNTIME_DIR +
        "':\"$PATH\" parallel --will-cite --sshlogin 2/: --basefile recipe.velkaro.json "
        "--transferfile {} --return sharp/{/.}.png 'mkdir -p sharp && velkaro-cli replay "
        "recipe.velkaro.json --without-strokes {} --out-dir sharp' ::: raw/*.png 2> log";
    const auto output = [&](int i) { return dir.file("sharp/frame" + std::to_string(i) + ".png"); };
    ASSERT_EQ(std::system(command.c_str()), 0) << slurp(dir.file("log"));
    for (int i = 0; i < frames; ++i) {
        deblur(dir.file("raw/frame" + std::to_string(i) + ".png"), dir.file("expected.png"));
        EXPECT_TRUE(samePixels(decode(output(i)), decode(dir.file("expected.png")))) << i;
    }

    // Interrupted: two outputs never came. The same command again writes only those.
    std::vector<fs::file_time_type> before;
    for (int i = 0; i < frames; ++i) before.push_back(fs::last_write_time(output(i)));
    fs::remove(output(2));
    fs::remove(output(5));
    ASSERT_EQ(std::system(command.c_str()), 0) << slurp(dir.file("log"));
    for (int i = 0; i < frames; ++i)
        EXPECT_EQ(fs::last_write_time(output(i)) == before[i], i != 2 && i != 5) << i;
}
