// Every kind of file the tool cannot open, and every place it cannot save to: exit status 1, one
// line of its own naming the path, no crash, and no earlier file lost.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../cli/CliRunner.h"
#include "../images/ImageTestSupport.h"
#include "../images/PngTestFiles.h"

using namespace velkaro;

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Run in the tool's process before it starts: become the unprivileged user nobody (root reads and
// writes whatever it likes, so the permission cases are meaningless for it).
void asNobody() {
    const uid_t nobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
        _exit(126);
    setenv("HOME", "/tmp", 1);
}

// Lines of the tool's own (libraries may add theirs before it).
std::vector<std::string> ownLines(const CliRun& run) {
    std::vector<std::string> own;
    for (const std::string& line : run.errLines())
        if (line.rfind("velkaro-cli ", 0) == 0)
            own.push_back(line);
    return own;
}

void copyFile(const std::string& from, const std::string& to) {
    writeBytes(to, readBytes(from));
}

// A folder everybody may enter and read (mkdtemp makes them private).
void openUp(const std::string& folder) {
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

}  // namespace

TEST(BadInputThroughTheCli, FilesThatCannotBeOpenedGiveOneLineAndStatus1) {
    TempDir dir;
    const std::string empty = dir.file("empty.jpg");
    writeBytes(empty, {});
    const ByteBuffer coffee = readBytes(dataPath("coffee.png"));
    const std::string halfPng = dir.file("half.png");
    writeBytes(halfPng, ByteBuffer(coffee.begin(), coffee.begin() + coffee.size() / 2));
    const ByteBuffer rocket = readBytes(dataPath("rocket.jpg"));
    const std::string headJpeg = dir.file("head.jpg");  // headers and the first scan bytes only
    writeBytes(headJpeg, ByteBuffer(rocket.begin(), rocket.begin() + 700));
    const std::string text = dir.file("notes.png");  // not an image, whatever its name says
    writeBytes(text, ByteBuffer{'h', 'e', 'l', 'l', 'o', '\n'});
    const std::string huge = dir.file("huge.png");
    writeBytes(huge, pngClaiming(100000, 100000));
    const std::string folder = dir.file("folder.jpg");
    fs::create_directory(folder);

    for (const std::string& path : {empty, halfPng, headJpeg, dataPath("truncated.jpg"), text, huge,
                                    folder, dir.file("missing.png")}) {
        SCOPED_TRACE(path);
        const CliRun run = cli({"info", path});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.out.empty()) << run.out;
        const auto own = ownLines(run);
        ASSERT_EQ(own.size(), 1u) << run.err;
        const char* reason = path == folder                    ? "it is a folder"
                             : path == dir.file("missing.png") ? "no such file"
                                                               : "not an image this tool can read";
        EXPECT_EQ(own[0], "velkaro-cli info: cannot read '" + path + "': " + reason);
    }
    // The oversized header is refused from the header, and says why.
    EXPECT_NE(cli({"info", huge}).err.find("exceeds the limit of 268435456 pixels"),
              std::string::npos);
}

TEST(BadInputThroughTheCli, WrongExtensionsSpacesAndNonAsciiPathsOpen) {
    TempDir dir;
    const std::string jpegAsPng = dir.file("rocket.png");
    copyFile(dataPath("rocket.jpg"), jpegAsPng);
    const std::string pngAsJpeg = dir.file("coffee.jpg");
    copyFile(dataPath("coffee.png"), pngAsJpeg);
    const std::string spaced = dir.file("mon été — chat 猫.png");
    copyFile(dataPath("chelsea.png"), spaced);
    struct Expected {
        std::string path, format;
        int width, height;
    };
    for (const Expected& e :
         {Expected{jpegAsPng, "JPEG", 640, 427}, Expected{pngAsJpeg, "PNG", 600, 400},
          Expected{spaced, "PNG", 451, 300}}) {
        SCOPED_TRACE(e.path);
        const CliRun run = cli({"info", e.path});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("format: " + e.format), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("width: " + std::to_string(e.width)), std::string::npos);
        EXPECT_NE(run.out.find("height: " + std::to_string(e.height)), std::string::npos);
    }
    // Saving to such a path works as well, and what is saved is what was read.
    const std::string out = dir.file("résultat final 結果.png");
    ASSERT_EQ(cli({"convert", spaced, out}).status, 0);
    EXPECT_EQ(cli({"info", out}).out, cli({"info", spaced}).out);
}

TEST(BadInputThroughTheCli, SavesThatCannotBeDoneKeepTheEarlierFile) {
    TempDir dir;
    const std::string earlier = dir.file("earlier.png");
    copyFile(dataPath("camera.png"), earlier);
    const ByteBuffer earlierBytes = readBytes(earlier);

    // A folder that no longer exists: the session's commands check it before any work.
    const std::string gone = dir.file("gone");
    fs::create_directory(gone);
    fs::remove(gone);
    CliRun run = cli(
        {"deblur", dataPath("chelsea.png"), gone + "/out.png", "--preset", "USM1", "--step", "2"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(ownLines(run).size(), 1u) << run.err;
    EXPECT_NE(ownLines(run)[0].find("no writable folder"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(gone));

    // A folder given as the output.
    run = cli({"convert", dataPath("chelsea.png"), dir.path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ownLines(run).size(), 1u) << run.err;

    // A read-only folder holding an earlier file of that name, and an unreadable photograph,
    // both as an ordinary user.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the tool as an ordinary user";
    openUp(dir.path());
    const std::string locked = dir.file("locked");
    fs::create_directory(locked);
    openUp(locked);  // root's folder: nobody may read it but not write it
    const std::string target = locked + "/photo.png";
    copyFile(earlier, target);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write |
                                fs::perms::others_read | fs::perms::others_write);
    const std::string source = dir.file("source.png");
    copyFile(dataPath("chelsea.png"), source);
    fs::permissions(source, fs::perms::owner_read | fs::perms::others_read);
    if (cli({"info", source}, asNobody).status != 0)
        GTEST_SKIP() << "the user nobody cannot reach the tool and " << dir.path()
                     << " (a folder above them is private to its owner)";

    run = cli({"convert", source, target}, asNobody);
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_EQ(ownLines(run).size(), 1u) << run.err;
    EXPECT_EQ(ownLines(run)[0], "velkaro-cli convert: could not write '" + target + "'");
    EXPECT_EQ(readBytes(target), earlierBytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), fs::directory_iterator()), 1);

    const std::string secret = dir.file("secret photo.png");
    copyFile(dataPath("chelsea.png"), secret);
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    run = cli({"info", secret}, asNobody);
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_EQ(ownLines(run).size(), 1u) << run.err;
    EXPECT_EQ(ownLines(run)[0],
              "velkaro-cli info: cannot read '" + secret + "': permission denied");
}
