#pragma once

#include <cstddef>
#include <cstdint>

namespace velkaro {

// C-style adapter around libpng. Every libpng error long-jumps back into the adapter function
// that made the library call; those functions and the callbacks between them and libpng hold no
// object with a destructor, so no jump ever skips one. Callers see plain status results.
//
// Pixels cross this interface in the system's A, R, G, B order (8-bit samples, or native-order
// 16-bit samples for files of 16 bits a sample), rows `rowBytes` apart.

// Reading, in three steps: open (file or memory), read the header (which also sets up the
// transformations to 8-bit A, R, G, B), read the pixels. Close on every way out.
struct PngReader;

// Opens `path` and tests its 8-byte signature. Null when the file cannot be opened or is not PNG
// (silently), or when libpng cannot start (with a log line).
PngReader* PngReaderOpenFile(const char* path);
// Reads from `size` bytes at `data`, which must outlive the reader. There is no signature test:
// a stream that is not PNG fails in PngReaderReadHeader.
PngReader* PngReaderOpenMemory(const std::uint8_t* data, std::size_t size);
// Reads the header and requests interlace handling, grey to RGB, an opaque alpha filler in front,
// alpha swapped to the front and, for 16-bit files, samples in the machine's byte order;
// `depth` receives 8 or 16, the file's bits a sample. False (with a log line) when the stream is
// broken or its rows do not come out as width × 4 samples (palette and sub-8-bit images).
bool PngReaderReadHeader(PngReader* reader, int* width, int* height, int* depth);
// Decodes the pixels into `pixels` (height rows of width × 4 samples, `rowBytes` apart); files
// also read the end chunk. False (with a log line) on a decoder error.
bool PngReaderReadImage(PngReader* reader, std::uint8_t* pixels, std::size_t rowBytes);
// Releases libpng's structures and closes the file. Null is allowed.
void PngReaderClose(PngReader* reader);

// Writing. The sink receives the encoded stream piece by piece and returns false when it cannot
// take it, which makes the encode fail. Output: colour type 2 (R, G, B) when every pixel is
// opaque, else 6 (R, G, B, A), bit depth `depth` (8 or 16, the samples'), no interlace, compression
// level 3, and with `srgb` an sRGB chunk with rendering intent 3 (left out when the file is to
// carry another colour profile). libpng writes the header; the image data is filtered and deflated
// on the worker pool (PngImageData.h).
using PngSink = bool (*)(void* context, const std::uint8_t* bytes, std::size_t length);

// Encodes width × height A, R, G, B pixels. False, with a "[write_png_file] ..." line on standard
// output, when libpng fails or the sink refuses.
bool PngWrite(PngSink sink, void* context, int width, int height, const std::uint8_t* pixels,
              std::size_t rowBytes, bool srgb = true, int depth = 8);

}  // namespace velkaro
