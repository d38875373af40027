#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velkaro {

// A scratch file per fuzzing process, rewritten with each input, for the readers that take a
// path. It lives in /dev/shm when that exists so the runs do not wear the disk. Its name holds
// a space and non-ASCII letters, as a photograph's path may.
const std::string& WriteFuzzFile(const std::uint8_t* data, std::size_t size);

class Image;

// What every decoded image must satisfy: a positive size within the reader's limit, a depth of 8
// or 16 bits and a buffer of exactly width × height pixels of that depth, every sample readable
// and every alpha opaque (its largest value) when `opaque`. Aborts (a finding) otherwise.
void CheckDecodedImage(const Image& image, bool opaque);

}  // namespace velkaro
