#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"

namespace velkaro {

bool WriteFileAtomically(const std::string& requestedPath, const char* tag,
                         const std::function<bool(std::FILE*)>& body) {
    // Saving over a symbolic link replaces the file it points to, not the link.
    std::string path = requestedPath;
    struct stat link;
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* target = ::realpath(path.c_str(), nullptr)) {
            path = target;
            std::free(target);
        }
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

    struct stat existing;
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    // A file that may not be written stays protected, although the folder would allow a rename.
    if (base.empty() || (exists && ::access(path.c_str(), W_OK) != 0)) {
        LogInfo("%s File %s could not be opened for writing\n", tag, requestedPath.c_str());
        return false;
    }

    static std::atomic<unsigned> counter{0};
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".%d.%u.tmp", int(::getpid()), counter.fetch_add(1));
        // A shortened name keeps the temporary within the file system's name length.
        temporary = (slash == std::string::npos ? "" : folder) + "." + base.substr(0, 96) + suffix;
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        LogInfo("%s File %s could not be opened for writing\n", tag, requestedPath.c_str());
        return false;
    }
    if (exists && S_ISREG(existing.st_mode))
        ::fchmod(fd, existing.st_mode & 07777);

    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        ::unlink(temporary.c_str());
        LogInfo("%s File %s could not be opened for writing\n", tag, requestedPath.c_str());
        return false;
    }
    bool ok = body(file);
    if (ok && (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0)) {
        LogInfo("%s Could not finish writing %s: %s\n", tag, requestedPath.c_str(),
                std::strerror(errno));
        ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
        LogInfo("%s Could not finish writing %s: %s\n", tag, requestedPath.c_str(),
                std::strerror(errno));
        ok = false;
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        LogInfo("%s Could not replace %s: %s\n", tag, requestedPath.c_str(), std::strerror(errno));
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

bool WriteBytesAtomically(const std::string& path, const char* tag,
                          const std::vector<std::uint8_t>& bytes) {
    return WriteFileAtomically(path, tag, [&](std::FILE* file) {
        if (std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size())
            return true;
        LogInfo("%s Error writing %s: %s\n", tag, path.c_str(), std::strerror(errno));
        return false;
    });
}

}  // namespace velkaro
