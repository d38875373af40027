#pragma once

#include <string>
#include <vector>

#include "AtomicFile.h"
#include "Image.h"

namespace velkaro {

// The one place where pixels cross into or out of a file format: JPEG and PNG with our own codecs
// (TurboJPEG, libpng), TIFF written with libtiff, every other format Qt can open (TIFF included)
// through a detour into PNG in memory, PNG in
// memory, and numbered grey PNG dumps for debugging. (The result caches keep their own compact
// form, PixelPack.h.)
//
// Every image read is made fully opaque, except a PNG read with forceOpaque false. PNG and TIFF
// files of 16 bits a sample are read at depth 16 (TIFF with libtiff), every other file at depth 8.
// Readers return null for anything they cannot decode; writers return whether the file (or stream)
// was written.

// The largest image any reader decodes (2^28 pixels, 1 GiB of A, R, G, B). A file that claims
// more is refused from its header, before any pixel memory is taken.
constexpr long long kMaxImagePixels = 1LL << 28;

// Why a file could not be read as an image, taken from the call that failed: opening the file
// (missing, permission, a folder, Other for any other system error), or every decoder refusing it
// (NotAnImage; TooLarge when a decoder refused it for claiming more than kMaxImagePixels).
enum class ReadFailure { None, Missing, Permission, Folder, NotAnImage, TooLarge, Other };

// How a file is written: its type ("PNG", "JPEG" or "TIFF"), the JPEG quality (1 to 100), TIFF
// compression (Deflate) on or off, whether a PNG carries an sRGB chunk (off when the file is to
// receive the source's own colour profile), and the bits a sample of a PNG or TIFF (8 or 16; 0
// keeps the image's own depth). JPEG is always 8 bits.
struct ImageWriteOptions {
    std::string type = "PNG";
    int quality = 90;
    bool compressTiff = true;
    bool srgbTag = true;
    int depth = 0;
};

class ImageIO {
  public:
    // The process-wide instance, created on first use.
    static ImageIO& sharedInstance();

    ImageIO(const ImageIO&) = delete;
    ImageIO& operator=(const ImageIO&) = delete;

    // "jpg", "jpeg", "png", then every other extension Qt can read (lower case, each once).
    std::vector<std::string> supportedExtensions() const;

    // JPEG, then PNG, then Qt's readers (first frame or page); null when none can decode it.
    // Photographs come upright: JPEG's EXIF orientation and Qt's transforms are applied.
    ImageRef readFromFile(const std::string& path);
    // The same; `outFormat` names the decoder that succeeded: "JPEG", "PNG" or Qt's format name in
    // upper case ("TIFF", "GIF", ...). Empty on failure.
    ImageRef readFromFile(const std::string& path, std::string& outFormat);
    // The same; `failure` says why when it returns null (ReadFailure::None otherwise).
    ImageRef readFromFile(const std::string& path, std::string& outFormat, ReadFailure& failure);
    ImageRef readFromFileJpeg(const std::string& path);
    // Palette and sub-8-bit PNGs are refused here (readFromFile takes them through Qt).
    ImageRef readFromFilePng(const std::string& path, bool forceOpaque = true);
    // Decodes a PNG stream held in memory; always opaque.
    ImageRef readFromMemory(const ByteBuffer& data);

    // PNG.
    bool writeImage(const ImageRef& image, const std::string& path);
    // "JPEG" (exactly) writes 8-bit JPEG at `quality`, "TIFF" a TIFF, any other type PNG; PNG
    // and TIFF hold R, G, B for opaque images, R, G, B, A otherwise, at the options' depth. Files
    // are written to a temporary file in the same folder and renamed over `path` only when
    // complete, so a failed write leaves `path` as it was and `failure` (when given) says why.
    bool writeImage(const ImageRef& image, const ImageWriteOptions& options,
                    const std::string& path, WriteFailure* failure = nullptr);
    // The same with the other options at their defaults.
    bool writeImage(const ImageRef& image, const std::string& type, int quality,
                    const std::string& path);
    // 4:2:0 JPEG, quality 1 to 100 (a 16-bit image rounded to 8 bits).
    bool writeJpeg(const ImageRef& image, int quality, const std::string& path,
                   WriteFailure* failure = nullptr);
    // Appends a PNG stream to `toMemory` and prints one statistics line. On failure the buffer is
    // left as it was.
    bool writeImage(const ImageRef& image, ByteBuffer& toMemory);

  private:
    ImageIO();
    ImageRef readJpeg(const std::string& path, ReadFailure* failure);

    struct ImageIOData;
    ImageIOData* m;  // the TurboJPEG handles; never released, they live as long as the process
};

// The EXIF orientation (1 to 8) a JPEG stream's APP1 segment records; 1 when there is none or
// the segment is damaged in any way.
int JpegExifOrientation(const std::uint8_t* data, std::size_t size);

// `image` turned upright from how a file with EXIF orientation `orientation` stores it (2 to 8
// mirror and rotate; any other value returns the image itself).
ImageRef ImageWithOrientation(const ImageRef& image, int orientation);

// Debugging aids: write `width` × `height` samples as a grey PNG named from `format` into the
// current working directory. With `normalise` non-zero the largest sample (at least 0) maps to
// 255 and the file is "<count>-<name>-<max>.png", otherwise 1 maps to 255 and it is
// "<count>-<name>.png"; count is a process-wide counter.
void DumpRawImageFloat(const float* samples, int width, int height, int normalise,
                       const char* format, ...) __attribute__((format(printf, 5, 6)));
void DumpRawImageDouble(const double* samples, int width, int height, int normalise,
                        const char* format, ...) __attribute__((format(printf, 5, 6)));
void DumpImage_imp(const CImage& image, const char* name, int normalise, float max);

}  // namespace velkaro
