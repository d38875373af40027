#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velkaro {

// The platform's image codecs (Qt's image readers and writers with their format plugins), for the
// formats the system's own PNG and JPEG codecs do not handle. No Qt type crosses this interface.

// Decodes the first image (first frame, first page) of any file Qt can read and hands it on as an
// 8-bit R, G, B, A PNG stream in `outPng`. `outFormat` receives Qt's name of the file's format in
// lower case ("tiff", "gif", ...). Returns false when Qt cannot read the file (silently) or when
// the image has more than `maxPixels` pixels (refused before any pixel is decoded, with a line on
// standard error).
bool PlatformDecodeToPng(std::vector<std::uint8_t>& outPng, std::string& outFormat,
                         const std::string& path, long long maxPixels);

// Reads the first image of a file Qt can read as 16-bit grey levels (colour converted to its
// luminance, 8-bit levels widened by 257), row after row. False when Qt cannot read it, or when it
// is larger than maxSide × maxSide (refused from its header, with *tooLarge set).
bool PlatformReadGrey16(std::vector<std::uint16_t>& out, int& width, int& height,
                        const std::string& path, int maxSide, bool* tooLarge);
// Writes 16-bit grey levels as a PNG file (grey, 16 bits a sample), atomically. False when it
// cannot be written (the file then keeps what it held).
bool PlatformWriteGrey16Png(const std::string& path, const std::vector<std::uint16_t>& levels,
                            int width, int height);

// The file name extensions Qt can read, lower case, without dots, sorted, each once.
std::vector<std::string> PlatformReadableExtensions();

}  // namespace velkaro
