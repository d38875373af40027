// velkaro-cli info and convert, run as a user would: output, exit status and the files written.

#include <gtest/gtest.h>

#include <filesystem>

#include "CliRunner.h"
#include "ImageIO.h"

using namespace velkaro;

using namespace testsupport;

TEST(CliConvert, TheNameDecidesTheTypeAndWhatCannotBeWrittenIsRefused) {
    TempDir dir;
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
        {"a.JPEG", "jpeg", "\xFF\xD8"},
        {"a.tif", "", "II"},
        {"a.tiff", "TIFF", "II"},
        {"noextension", "", "\x89PNG"},
        {"jpeg-noext", "JPEG", "\xFF\xD8"},
        {"tiff-noext", "tif", "II"},
        {"a.webp", "", ""},
        {"a.bmp", "PNG", ""},
        {"a.png", "JPEG", ""},
        {"a.jpg", "TIFF", ""},
        {"a.tif", "gif", ""},
        {"a.", "", ""},
    };
    for (const Case& c : cases) {
        const std::string out = dir.file(std::string("t/") + c.name);
        std::filesystem::create_directories(dir.file("t"));
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
            if (!*c.type) {  // the message names what can be written
                for (const char* written : {".png", ".jpg", ".tif"})
                    EXPECT_NE(run.err.find(written), std::string::npos) << run.err;
            }
        }
        std::filesystem::remove_all(dir.file("t"));
    }
}

// Unreadable inputs (each reason) are tests/hardening's BadInputTest.
TEST(CliErrors, UnwritableOutputFailsAndVersionPrints) {
    TempDir dir;
    const std::string nowhere = dir.file("no/such/folder/out.png");
    const CliRun run = cli({"convert", dataPath("rocket.jpg"), nowhere});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_NE(run.err.find("could not write '" + nowhere + "'"), std::string::npos) << run.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // nothing half-written
    const CliRun version = cli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("velkaro-cli ", 0), 0u) << version.out;
}
