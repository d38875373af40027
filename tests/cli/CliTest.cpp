// Runs ${VELKARO_RUNTIME_DIR}/velkaro-cli as a user would and checks its output, exit status and
// the files it writes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "../images/ImageTestSupport.h"
#include "CliRunner.h"
#include "ImageIO.h"

using namespace testsupport;

namespace {

ImageIO& io() { return ImageIO::sharedInstance(); }

}  // namespace

TEST(CliInfo, PrintsFormatAndSizeAsTheAppDecodes) {
    struct Case {
        const char* file;
        const char* expected;
    } cases[] = {
        {"rocket.jpg", "format: JPEG\nwidth: 640\nheight: 427\n"},
        {"chelsea.png", "format: PNG\nwidth: 451\nheight: 300\n"},
        {"palette_color.png", "format: PNG\nwidth: 10\nheight: 10\n"},
        {"chessboard_GRAY_U16.tif", "format: TIFF\nwidth: 200\nheight: 200\n"},
        {"no_time_for_that_tiny.gif", "format: GIF\nwidth: 14\nheight: 25\n"},
    };
    for (const Case& c : cases) {
        const CliRun run = cli({"info", dataPath(c.file)});
        EXPECT_EQ(run.status, 0) << c.file << ": " << run.err;
        EXPECT_EQ(run.out, c.expected) << c.file;
    }
}

TEST(CliConvert, WritesWhatTheAppWouldSave) {
    TempDir dir;
    // PNG: exactly the decoded pixels.
    const std::string png = dir.file("coffee.png");
    CliRun run = cli({"convert", dataPath("coffee.png"), png});
    ASSERT_EQ(run.status, 0) << run.err;
    const ImageRef original = io().readFromFile(dataPath("coffee.png"));
    const ImageRef converted = io().readFromFilePng(png, false);
    ASSERT_TRUE(converted);
    EXPECT_EQ(compare(*original, *converted, true).maxAbs, 0);

    // JPEG by extension, quality honoured; TIFF by --type whatever the name says.
    const std::string fine = dir.file("fine.jpg"), coarse = dir.file("coarse.jpeg");
    ASSERT_EQ(cli({"convert", dataPath("rocket.jpg"), fine, "--quality", "95"}).status, 0);
    ASSERT_EQ(cli({"convert", dataPath("rocket.jpg"), coarse, "--quality=5"}).status, 0);
    EXPECT_EQ(readBytes(fine)[0], 0xFF);
    EXPECT_LT(readBytes(coarse).size() * 3, readBytes(fine).size());
    const std::string tiff = dir.file("really-a-tiff.png");
    ASSERT_EQ(cli({"convert", dataPath("palette_color.png"), tiff, "--type", "tiff"}).status, 0);
    EXPECT_EQ(readBytes(tiff)[0], 'I');
    const ImageRef back = io().readFromFile(tiff);
    ASSERT_TRUE(back);
    EXPECT_EQ(compare(*io().readFromFile(dataPath("palette_color.png")), *back).maxAbs, 0);
    const std::string forcedPng = dir.file("named.jpg");
    ASSERT_EQ(cli({"convert", dataPath("rocket.jpg"), forcedPng, "--type", "PNG"}).status, 0);
    EXPECT_EQ(readBytes(forcedPng)[1], 'P');
}

TEST(CliErrors, BadArgumentsGiveOneLineAndStatus2) {
    TempDir dir;
    const std::string in = dataPath("rocket.jpg"), out = dir.file("x.png");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"sharpen", in},
        {"info"},
        {"info", in, in},
        {"info", in, "--type", "PNG"},
        {"convert", in},
        {"convert", in, out, out},
        {"convert", in, out, "--quality", "0"},
        {"convert", in, out, "--quality", "101"},
        {"convert", in, out, "--quality", "9x"},
        {"convert", in, out, "--quality"},
        {"convert", in, out, "--type", "BMP"},
        {"convert", in, out, "--colour", "red"},
        {"convert", in, out, "--quality", "50", "--quality", "60"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const std::string& a : args) shown += a + " ";
        const CliRun run = cli(args);
        EXPECT_EQ(run.status, 2) << shown;
        const auto lines = run.errLines();
        ASSERT_EQ(lines.size(), 1u) << shown << "\n" << run.err;
        EXPECT_EQ(lines[0].rfind("velkaro-cli", 0), 0u) << lines[0];
        EXPECT_TRUE(run.out.empty()) << shown;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(CliErrors, UnreadableInputAndUnwritableOutputFail) {
    TempDir dir;
    const std::string text = dataPath("README.md");
    for (const std::string& input : {dir.file("missing.png"), text}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"info", input},
              std::vector<std::string>{"convert", input, dir.file("out.png")}}) {
            const CliRun run = cli(args);
            EXPECT_EQ(run.status, 1) << args[0] << " " << input;
            const auto lines = run.errLines();
            ASSERT_FALSE(lines.empty());
            EXPECT_NE(lines.back().find("cannot read an image from '" + input + "'"),
                      std::string::npos)
                << lines.back();
        }
    }
    const std::string nowhere = dir.file("no/such/folder/out.png");
    const CliRun run = cli({"convert", dataPath("rocket.jpg"), nowhere});
    EXPECT_EQ(run.status, 1);
    const auto lines = run.errLines();
    ASSERT_EQ(lines.size(), 1u) << run.err;
    EXPECT_NE(lines[0].find("could not write '" + nowhere + "'"), std::string::npos) << lines[0];
    EXPECT_FALSE(std::filesystem::exists(nowhere));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              0);
}

TEST(CliHelp, ListsTheCommands) {
    const CliRun run = cli({"help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("info FILE"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("convert IN OUT"), std::string::npos) << run.out;
}
