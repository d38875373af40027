// velkaro-cli info and convert, run as a user would: output, exit status and the files written.

#include <gtest/gtest.h>

#include <filesystem>

#include "CliRunner.h"
#include "ImageIO.h"

using namespace testsupport;

namespace {

ImageRef decode(const std::string& path) { return ImageIO::sharedInstance().readFromFile(path); }

}  // namespace

TEST(CliInfo, PrintsFormatAndSizeAsTheAppDecodes) {
    const std::pair<const char*, const char*> cases[] = {
        {"rocket.jpg", "format: JPEG\nwidth: 640\nheight: 427\n"},
        {"chelsea.png", "format: PNG\nwidth: 451\nheight: 300\n"},
        {"chessboard_GRAY_U16.tif", "format: TIFF\nwidth: 200\nheight: 200\n"},
        {"no_time_for_that_tiny.gif", "format: GIF\nwidth: 14\nheight: 25\n"},
    };
    for (const auto& [file, expected] : cases) {
        const CliRun run = cli({"info", dataPath(file)});
        EXPECT_EQ(run.status, 0) << file << ": " << run.err;
        EXPECT_EQ(run.out, expected) << file;
    }
}

TEST(CliConvert, WritesWhatTheAppWouldSave) {
    TempDir dir;
    // PNG: exactly the decoded pixels.
    const std::string png = dir.file("coffee.png");
    ASSERT_EQ(cli({"convert", dataPath("coffee.png"), png}).status, 0);
    ASSERT_TRUE(decode(png));
    EXPECT_EQ(compare(*decode(dataPath("coffee.png")), *decode(png), true).maxAbs, 0);
    // JPEG by extension with the quality honoured; the type option over the name.
    const std::string fine = dir.file("fine.jpg"), coarse = dir.file("coarse.jpeg");
    ASSERT_EQ(cli({"convert", dataPath("rocket.jpg"), fine, "--quality", "95"}).status, 0);
    ASSERT_EQ(cli({"convert", dataPath("rocket.jpg"), coarse, "--quality=5"}).status, 0);
    EXPECT_EQ(readBytes(fine)[0], 0xFF);
    EXPECT_LT(readBytes(coarse).size() * 3, readBytes(fine).size());
    const std::string tiff = dir.file("really-a-tiff.png"), forcedPng = dir.file("named.jpg");
    ASSERT_EQ(cli({"convert", dataPath("palette_color.png"), tiff, "--type", "tiff"}).status, 0);
    EXPECT_EQ(readBytes(tiff)[0], 'I');
    ASSERT_TRUE(decode(tiff));
    EXPECT_EQ(compare(*decode(dataPath("palette_color.png")), *decode(tiff)).maxAbs, 0);
    ASSERT_EQ(cli({"convert", dataPath("rocket.jpg"), forcedPng, "--type", "PNG"}).status, 0);
    EXPECT_EQ(readBytes(forcedPng)[1], 'P');
}

TEST(CliErrors, BadArgumentsGiveOneLineAndStatus2) {
    TempDir dir;
    const std::string in = dataPath("rocket.jpg"), out = dir.file("x.png");
    const std::map<std::string, std::string> names{{"IN", in}, {"OUT", out}};
    const char* cases[] = {
        "", "sharpen IN", "info", "info IN IN", "info IN --type PNG", "convert IN",
        "convert IN OUT --quality 0", "convert IN OUT --quality 101", "convert IN OUT --quality 9x",
        "convert IN OUT --quality", "convert IN OUT --type BMP", "convert IN OUT --quality 5 --quality 6",
    };
    for (const char* line : cases) {
        const CliRun run = cli(words(line, names));
        EXPECT_EQ(run.status, 2) << line;
        const auto lines = run.errLines();
        ASSERT_EQ(lines.size(), 1u) << line << "\n" << run.err;
        EXPECT_EQ(lines[0].rfind("velkaro-cli", 0), 0u) << lines[0];
        EXPECT_TRUE(run.out.empty()) << line;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(CliErrors, UnreadableInputAndUnwritableOutputFail) {
    TempDir dir;
    for (const std::string& input : {dir.file("missing.png"), dataPath("README.md")})
        for (const auto& args : {std::vector<std::string>{"info", input},
                                 std::vector<std::string>{"convert", input, dir.file("out.png")}}) {
            const CliRun run = cli(args);
            EXPECT_EQ(run.status, 1) << args[0] << " " << input;
            ASSERT_FALSE(run.errLines().empty());
            EXPECT_NE(run.errLines().back().find("cannot read an image from '" + input + "'"),
                      std::string::npos) << run.err;
        }
    const std::string nowhere = dir.file("no/such/folder/out.png");
    const CliRun run = cli({"convert", dataPath("rocket.jpg"), nowhere});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_NE(run.err.find("could not write '" + nowhere + "'"), std::string::npos) << run.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // nothing half-written
}
