#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace velkaro {

// Why a file could not be written, taken from the system call that failed.
enum class WriteFailure {
    None,
    MissingFolder,  // the folder to write into does not exist
    NotAFolder,     // a part of the folder's path is a file
    Permission,     // the folder, or the file being replaced, may not be written
    Folder,         // the path names a folder
    DiskFull,       // no space (or quota) left while writing
    NotEncoded,     // the writer's own content could not be produced
    Other,
};

// The WriteFailure of a failed call that set errno to `error`.
WriteFailure WriteFailureOfErrno(int error);

// Writes `path` through a temporary file beside it (".NAME.PID.N.tmp") that is renamed over
// `path` only when `body` has written it completely and it is safely on disk (fsync). A file that
// may not be written stays protected; an existing file's permissions are kept; saving over a
// symbolic link replaces the file it points to. On any failure the temporary file is removed,
// `path` keeps whatever it held before and `failure` (when given) says why; a `body` that fails
// with errno unset counts as NotEncoded. `tag` prefixes the log lines.
bool WriteFileAtomically(const std::string& path, const char* tag,
                         const std::function<bool(std::FILE*)>& body,
                         WriteFailure* failure = nullptr);
bool WriteBytesAtomically(const std::string& path, const char* tag,
                          const std::vector<std::uint8_t>& bytes, WriteFailure* failure = nullptr);

// Whether `path` could be written now: the same steps as WriteFileAtomically up to creating its
// temporary file, which is removed at once. Lets a long computation refuse an output it could
// never write before it starts.
WriteFailure CheckWritable(const std::string& path);

}  // namespace velkaro
