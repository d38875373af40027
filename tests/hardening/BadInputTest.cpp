// Every kind of file the tool cannot open, and every place it cannot save to: exit status 1, one
// line of its own naming the path, no crash, and no earlier file lost.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../cli/CliRunner.h"
#include "../images/ImageTestSupport.h"
#include "../images/PngTestFiles.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process as the unprivileged user nobody (root reads and writes whatever
// it likes, so the permission cases are meaningless for it) and returns its exit status. Needs
// root to switch; -1 otherwise.
template <class Body>
int asNobody(Body body) {
    if (geteuid() != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(126);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const std::string kProgram = std::string(VELKARO_RUNTIME_DIR) + "/velkaro-cli";

// Whether nobody can run the tool and write into `folder`: not where the build sits inside a
// folder only its owner may enter (a checkout under a private home directory).
bool nobodyReaches(const std::string& folder) {
    return asNobody([&] {
               return access(kProgram.c_str(), X_OK) == 0 && access(folder.c_str(), W_OK) == 0 ? 0
                                                                                               : 1;
           }) == 0;
}

// The tool run as nobody, its output streams written into `capture`.
CliRun cliAsNobody(const std::vector<std::string>& args, const TempDir& capture) {
    const std::string outPath = capture.file("nobody.out"), errPath = capture.file("nobody.err");
    std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    CliRun run;
    run.status = asNobody([&] {
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
        dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
        setenv("HOME", "/tmp", 1);
        execv(kProgram.c_str(), argv.data());
        return 127;
    });
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    return run;
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
    TempDir capture;
    fs::permissions(capture.path(), fs::perms::all);  // nobody writes its output here
    if (!nobodyReaches(capture.path()))
        GTEST_SKIP() << "the user nobody cannot reach " << kProgram << " and " << capture.path()
                     << " (a folder above them is private to its owner)";

    run = cliAsNobody({"convert", source, target}, capture);
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_EQ(ownLines(run).size(), 1u) << run.err;
    EXPECT_EQ(ownLines(run)[0], "velkaro-cli convert: could not write '" + target + "'");
    EXPECT_EQ(readBytes(target), earlierBytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), fs::directory_iterator()), 1);

    const std::string secret = dir.file("secret photo.png");
    copyFile(dataPath("chelsea.png"), secret);
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    run = cliAsNobody({"info", secret}, capture);
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_EQ(ownLines(run).size(), 1u) << run.err;
    EXPECT_EQ(ownLines(run)[0],
              "velkaro-cli info: cannot read '" + secret + "': permission denied");
}
