#pragma once

// Runs ${VELKARO_RUNTIME_DIR}/velkaro-cli as a user would, capturing its exit status and both
// output streams. Shared by the command-line tests.

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../images/ImageTestSupport.h"
#include "ImageIO.h"

using namespace velkaro;

namespace testsupport {

struct CliRun {
    int status = -1;
    std::string out, err;
    // The non-empty lines of standard error.
    std::vector<std::string> errLines() const {
        std::vector<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                lines.push_back(line);
        return lines;
    }
};

inline std::string slurp(const std::string& path) {
    const ByteBuffer bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// The words of `line`, each word that is a key of `names` replaced by its value.
inline std::vector<std::string> words(const std::string& line,
                                      const std::map<std::string, std::string>& names = {}) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;) out.push_back(names.count(w) ? names.at(w) : w);
    return out;
}

// `inChild` runs in the tool's process just before the program starts, its output redirected.
// With `errTerminal`, standard error is a terminal (a pseudo-terminal read as the tool writes).
inline CliRun cli(const std::vector<std::string>& args, void (*inChild)() = nullptr,
                  bool errTerminal = false) {
    const TempDir capture;
    const std::string outPath = capture.file("out"), errPath = capture.file("err");
    const std::string program = std::string(VELKARO_RUNTIME_DIR) + "/velkaro-cli";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int terminal = -1, terminalEnd = -1;
    if (errTerminal && openpty(&terminal, &terminalEnd, nullptr, nullptr, nullptr) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(errTerminal ? terminalEnd : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
             2);
        if (inChild)
            inChild();
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    std::string err;
    if (errTerminal) {
        close(terminalEnd);
        char buffer[4096];
        for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) err.append(buffer, n);
        close(terminal);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(outPath),
            errTerminal ? err : slurp(errPath)};
}

inline ImageRef decode(const std::string& path) {
    return ImageIO::sharedInstance().readFromFile(path);
}

}  // namespace testsupport
