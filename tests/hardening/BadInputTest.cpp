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

}  // namespace

TEST(BadInputThroughTheCli, FilesThatCannotBeOpenedGiveOneLineAndStatus1) {
    TempDir dir;
    const ByteBuffer jpeg = readBytes(dataPath("rocket.jpg"));
    // Empty, the headers and the first scan bytes only, a header claiming 10¹⁰ pixels (what else
    // cannot be decoded is ImageIOTest's).
    const std::pair<const char*, ByteBuffer> files[] = {
        {"empty.jpg", {}},
        {"head.jpg", ByteBuffer(jpeg.begin(), jpeg.begin() + 700)},
        {"huge.png", pngClaiming(100000, 100000)}};
    std::vector<std::string> paths = {dataPath("truncated.jpg"), dir.file("folder.jpg"),
                                      dir.file("missing.png")};
    fs::create_directory(paths[1]);
    for (const auto& [name, bytes] : files) {
        writeBytes(dir.file(name), bytes);
        paths.push_back(dir.file(name));
    }
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const CliRun run = cli({"info", path});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.out.empty()) << run.out;
        const auto own = ownLines(run);
        ASSERT_EQ(own.size(), 1u) << run.err;
        EXPECT_NE(own[0].find(path), std::string::npos) << own[0];
    }
}

TEST(BadInputThroughTheCli, WrongExtensionsSpacesAndNonAsciiPathsOpen) {
    TempDir dir;
    const std::string spaced = dir.file("mon été — chat 猫.png");
    // Read by their content whatever their names say: the tool tells what it tells of the sample.
    for (const auto& [sample, path] : {std::pair{"rocket.jpg", dir.file("rocket.png")},
                                       {"coffee.png", dir.file("coffee.jpg")},
                                       {"chelsea.png", spaced}}) {
        SCOPED_TRACE(path);
        fs::copy_file(dataPath(sample), path);
        const CliRun run = cli({"info", path}), original = cli({"info", dataPath(sample)});
        EXPECT_TRUE(run.status == 0) << run.err;
        EXPECT_TRUE(original.status == 0) << run.err;
        EXPECT_EQ(run.out, original.out);
    }
    // Saving to such a path works as well, and what is saved is what was read.
    const std::string out = dir.file("résultat final 結果.png");
    ASSERT_EQ(cli({"convert", spaced, out}).status, 0);
    EXPECT_EQ(cli({"info", out}).out, cli({"info", spaced}).out);
}

TEST(BadInputThroughTheCli, SavesThatCannotBeDoneKeepTheEarlierFile) {
    TempDir dir;
    // A folder given as the output.
    CliRun run = cli({"convert", dataPath("chelsea.png"), dir.path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ownLines(run).size(), 1u) << run.err;

    // A read-only folder holding an earlier file of that name, and an unreadable photograph.
    // Root reads and writes whatever it likes: as root, the tool runs as the user nobody.
    void (*const as)() = geteuid() == 0 ? asNobody : nullptr;
    fs::permissions(dir.path(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);  // mkdtemp makes it private
    const std::string locked = dir.file("locked"), target = locked + "/photo.png";
    fs::create_directory(locked);
    fs::copy_file(dataPath("camera.png"), target);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write |
                                fs::perms::others_read | fs::perms::others_write);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    const std::string source = dir.file("source.png"), secret = dir.file("secret photo.png");
    fs::copy_file(dataPath("chelsea.png"), source);
    fs::copy_file(dataPath("chelsea.png"), secret);
    fs::permissions(source, fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(secret, fs::perms::none);
    if (as && cli({"info", source}, as).status != 0)
        GTEST_SKIP() << "the user nobody cannot reach the tool and " << dir.path()
                     << " (a folder above them is private to its owner)";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"convert", source, target}, {"info", secret}}) {
        run = cli(args, as);
        EXPECT_EQ(run.status, 1) << run.err;
        ASSERT_EQ(ownLines(run).size(), 1u) << run.err;
        EXPECT_NE(ownLines(run)[0].find(args.back()), std::string::npos) << run.err;
    }
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_EQ(readBytes(target), readBytes(dataPath("camera.png")));
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), fs::directory_iterator()), 1);
}
