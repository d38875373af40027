#pragma once

#include <string>
#include <vector>

namespace velkaro {

// The exiftool program, shared by the application and velkaro-cli for copying a photograph's
// metadata tags into a saved result.

// exiftool beside the running program, then in one of `folders`, then on PATH; empty if none.
std::string FindExiftool(const std::vector<std::string>& folders = {});

enum class ExiftoolResult { Copied, NotStarted, Failed };

// Runs `exiftool -tagsFromFile SOURCE -all -icc_profile -Orientation#=1 -overwrite_original
// DESTINATION` (the tags exiftool copies by default and the ICC colour profile; the orientation
// normal, as the pixels are upright) with both paths made
// absolute (so that no name can read as an option) and waits for it. Its standard input and
// output lead nowhere, so that it can never block on a pipe; its diagnostics go to our standard
// error.
ExiftoolResult CopyMetadataTags(const std::string& exiftool, const std::string& source,
                                const std::string& destination);

}  // namespace velkaro
