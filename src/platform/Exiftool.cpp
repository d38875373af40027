#include "Exiftool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace velkaro {

namespace fs = std::filesystem;

namespace {

bool isProgram(const fs::path& candidate) {
    std::error_code ec;
    return access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate, ec);
}

}  // namespace

std::string FindExiftool(const std::vector<std::string>& folders) {
    std::error_code ec;
    std::vector<fs::path> candidates;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        candidates.push_back(self.parent_path() / "exiftool");
    for (const std::string& folder : folders) candidates.push_back(fs::path(folder) / "exiftool");
    for (const fs::path& candidate : candidates)
        if (isProgram(candidate))
            return fs::weakly_canonical(candidate, ec).string();

    const char* pathVariable = std::getenv("PATH");
    const std::string paths = pathVariable ? pathVariable : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= paths.size()) {
        const std::size_t end = std::min(paths.find(':', start), paths.size());
        const std::string folder = paths.substr(start, end - start);
        if (!folder.empty() && isProgram(fs::path(folder) / "exiftool"))
            return (fs::path(folder) / "exiftool").string();
        start = end + 1;
    }
    return {};
}

ExiftoolResult CopyMetadataTags(const std::string& exiftool, const std::string& source,
                                const std::string& destination) {
    std::error_code ec;
    const std::string from = fs::absolute(source, ec).string();
    const std::string to = fs::absolute(destination, ec).string();
    // "-all" copies what exiftool copies by default; the ICC profile has to be named as well. The
    // result's pixels are upright already: its orientation tag says so.
    const char* argv[] = {exiftool.c_str(), "-tagsFromFile",   from.c_str(),          "-all",
                          "-icc_profile",   "-Orientation#=1", "-overwrite_original", to.c_str(),
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, exiftool.c_str(), &actions, nullptr,
                                    const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return ExiftoolResult::NotStarted;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ExiftoolResult::Copied
                                                         : ExiftoolResult::Failed;
}

}  // namespace velkaro
