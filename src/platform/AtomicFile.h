#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace velkaro {

// Writes `path` through a temporary file beside it (".NAME.PID.N.tmp") that is renamed over
// `path` only when `body` has written it completely and it is safely on disk (fsync). A file that
// may not be written stays protected; an existing file's permissions are kept; saving over a
// symbolic link replaces the file it points to. On any failure the temporary file is removed and
// `path` keeps whatever it held before. `tag` prefixes the log lines.
bool WriteFileAtomically(const std::string& path, const char* tag,
                         const std::function<bool(std::FILE*)>& body);
bool WriteBytesAtomically(const std::string& path, const char* tag,
                          const std::vector<std::uint8_t>& bytes);

}  // namespace velkaro
