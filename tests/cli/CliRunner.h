#pragma once

// Runs ${VELKARO_RUNTIME_DIR}/velkaro-cli as a user would, capturing its exit status and both
// output streams. Shared by the command-line tests.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../images/ImageTestSupport.h"

namespace testsupport {

struct CliRun {
    int status = -1;
    std::string out, err;
    // The non-empty lines of standard error.
    std::vector<std::string> errLines() const {
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < err.size()) {
            std::size_t end = err.find('\n', start);
            if (end == std::string::npos) end = err.size();
            if (end > start) lines.push_back(err.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
};

inline std::string slurp(const std::string& path) {
    const ByteBuffer bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline CliRun cli(const std::vector<std::string>& args) {
    const TempDir capture;
    const std::string outPath = capture.file("out"), errPath = capture.file("err");
    const std::string program = std::string(VELKARO_RUNTIME_DIR) + "/velkaro-cli";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    CliRun run;
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    return run;
}

}  // namespace testsupport
