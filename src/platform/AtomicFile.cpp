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

namespace {

// The temporary file beside the file to write, open for writing; `fd` is -1 when it could not be
// made, and `failure` says why.
struct Temporary {
    std::string path;  // the file the temporary replaces (symbolic links resolved)
    std::string temporary;
    int fd = -1;
    bool exists = false;
    struct stat existing {};
    WriteFailure failure = WriteFailure::None;
};

Temporary openTemporary(const std::string& requestedPath) {
    Temporary t;
    // Saving over a symbolic link replaces the file it points to, not the link.
    t.path = requestedPath;
    struct stat link;
    if (::lstat(t.path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* target = ::realpath(t.path.c_str(), nullptr)) {
            t.path = target;
            std::free(target);
        }
    }
    const std::size_t slash = t.path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : t.path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? t.path : t.path.substr(slash + 1);

    t.exists = ::stat(t.path.c_str(), &t.existing) == 0;
    if (t.exists && S_ISDIR(t.existing.st_mode)) {
        t.failure = WriteFailure::Folder;
        return t;
    }
    if (base.empty()) {  // "name/" where no such folder exists
        t.failure = WriteFailure::MissingFolder;
        return t;
    }
    // A file that may not be written stays protected, although the folder would allow a rename.
    if (t.exists && ::access(t.path.c_str(), W_OK) != 0) {
        t.failure = WriteFailureOfErrno(errno);
        return t;
    }
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100 && t.fd < 0; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".%d.%u.tmp", int(::getpid()), counter.fetch_add(1));
        // A shortened name keeps the temporary within the file system's name length.
        t.temporary = folder + "." + base.substr(0, 96) + suffix;
        t.fd = ::open(t.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (t.fd < 0 && errno != EEXIST)
            break;
    }
    if (t.fd < 0)
        t.failure = WriteFailureOfErrno(errno);
    return t;
}

}  // namespace

WriteFailure WriteFailureOfErrno(int error) {
    switch (error) {
        case 0:
            return WriteFailure::NotEncoded;
        case ENOENT:
            return WriteFailure::MissingFolder;
        case ENOTDIR:
            return WriteFailure::NotAFolder;
        case EACCES:
        case EPERM:
        case EROFS:
            return WriteFailure::Permission;
        case EISDIR:
            return WriteFailure::Folder;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return WriteFailure::DiskFull;
        default:
            return WriteFailure::Other;
    }
}

WriteFailure CheckWritable(const std::string& path) {
    Temporary t = openTemporary(path);
    if (t.fd >= 0) {
        ::close(t.fd);
        ::unlink(t.temporary.c_str());
    }
    return t.failure;
}

bool WriteFileAtomically(const std::string& requestedPath, const char* tag,
                         const std::function<bool(std::FILE*)>& body, WriteFailure* failure) {
    WriteFailure ignored;
    WriteFailure& why = failure ? *failure : ignored;
    Temporary t = openTemporary(requestedPath);
    why = t.failure;
    if (t.fd < 0) {
        LogInfo("%s File %s could not be opened for writing\n", tag, requestedPath.c_str());
        return false;
    }
    if (t.exists && S_ISREG(t.existing.st_mode))
        ::fchmod(t.fd, t.existing.st_mode & 07777);

    std::FILE* file = ::fdopen(t.fd, "wb");
    if (!file) {
        why = WriteFailureOfErrno(errno);
        ::close(t.fd);
        ::unlink(t.temporary.c_str());
        LogInfo("%s File %s could not be opened for writing\n", tag, requestedPath.c_str());
        return false;
    }
    errno = 0;
    bool ok = body(file);
    if (!ok)
        why = WriteFailureOfErrno(errno);
    if (ok && (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0)) {
        why = WriteFailureOfErrno(errno);
        LogInfo("%s Could not finish writing %s: %s\n", tag, requestedPath.c_str(),
                std::strerror(errno));
        ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
        why = WriteFailureOfErrno(errno);
        LogInfo("%s Could not finish writing %s: %s\n", tag, requestedPath.c_str(),
                std::strerror(errno));
        ok = false;
    }
    if (ok && std::rename(t.temporary.c_str(), t.path.c_str()) != 0) {
        why = WriteFailureOfErrno(errno);
        LogInfo("%s Could not replace %s: %s\n", tag, requestedPath.c_str(), std::strerror(errno));
        ok = false;
    }
    if (!ok)
        ::unlink(t.temporary.c_str());
    return ok;
}

bool WriteBytesAtomically(const std::string& path, const char* tag,
                          const std::vector<std::uint8_t>& bytes, WriteFailure* failure) {
    return WriteFileAtomically(
        path, tag,
        [&](std::FILE* file) {
            if (std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size())
                return true;
            LogInfo("%s Error writing %s: %s\n", tag, path.c_str(), std::strerror(errno));
            return false;
        },
        failure);
}

}  // namespace velkaro
