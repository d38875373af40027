#include "ImageIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

#include "AtomicFile.h"
#include "Check.h"
#include "Fatal.h"
#include "ImageProcess.h"
#include "Lock.h"
#include "Log.h"
#include "PlatformImage.h"
#include "PngCodec.h"
#include "TiffCodec.h"
#include "Timer.h"

namespace velkaro {

struct ImageIO::ImageIOData {
    tjhandle decompressor = nullptr;
    tjhandle compressor = nullptr;
    // TurboJPEG handles keep per-call state: one JPEG read or write at a time.
    Lock jpegLock;
};

namespace {

std::atomic<int> gDumpCount{0};

bool refuseSize(const char* source, long long width, long long height, ReadFailure* failure) {
    if (width * height <= kMaxImagePixels)
        return false;
    if (failure)
        *failure = ReadFailure::TooLarge;
    LogWarning("%s: image of %lldx%lld pixels exceeds the limit of %lld pixels\n", source, width,
               height, kMaxImagePixels);
    return true;
}

struct ReaderCloser {
    void operator()(PngReader* reader) const { PngReaderClose(reader); }
};
using PngReaderPtr = std::unique_ptr<PngReader, ReaderCloser>;

// The common tail of the file and memory PNG readers.
ImageRef decodePng(PngReader* reader, const char* source, bool forceOpaque,
                   ReadFailure* failure = nullptr) {
    int width = 0, height = 0, depth = 8;
    if (!PngReaderReadHeader(reader, &width, &height, &depth))
        return nullptr;
    if (refuseSize(source, width, height, failure))
        return nullptr;
    const std::size_t rowBytes = std::size_t(width) * std::size_t(depth / 2);
    auto data = NewPixelBuffer(rowBytes * std::size_t(height));
    if (!PngReaderReadImage(reader, data->data(), rowBytes))
        return nullptr;
    auto image = std::make_shared<Image>(std::move(data), width, height, depth);
    if (forceOpaque)
        ForceOpaque(image);
    return image;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The whole file, when it starts with a JPEG start-of-image marker.
bool readJpegFile(ByteBuffer& out, const std::string& path) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return false;
    std::uint8_t marker[2];
    if (std::fread(marker, 1, 2, file.get()) != 2 || marker[0] != 0xFF || marker[1] != 0xD8) {
        return false;
    }
    if (std::fseek(file.get(), 0, SEEK_END) != 0)
        return false;
    const long size = std::ftell(file.get());
    if (size < 2 || std::fseek(file.get(), 0, SEEK_SET) != 0)
        return false;
    out.resize(std::size_t(size));
    return std::fread(out.data(), 1, out.size(), file.get()) == out.size();
}

bool appendToBuffer(void* context, const std::uint8_t* bytes, std::size_t length) {
    ByteBuffer& buffer = *static_cast<ByteBuffer*>(context);
    try {
        buffer.insert(buffer.end(), bytes, bytes + length);
    } catch (...) {  // out of memory: the encode fails and the caller is told
        return false;
    }
    return true;
}

bool writeToFile(void* context, const std::uint8_t* bytes, std::size_t length) {
    return std::fwrite(bytes, 1, length, static_cast<std::FILE*>(context)) == length;
}

bool writePngFile(const ImageRef& image, const std::string& path, bool srgb,
                  WriteFailure* failure) {
    return WriteFileAtomically(
        path, "[write_png_file]",
        [&](std::FILE* file) {
            return PngWrite(writeToFile, file, image->width(), image->height(), image->pixels(),
                            std::size_t(image->width()) * image->bytesPerPixel(), srgb,
                            image->depth());
        },
        failure);
}

// Opens the file as the decoders will: why it cannot be read at all, or None.
ReadFailure openFailure(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ENOTDIR:
                return ReadFailure::Missing;
            case EACCES:
            case EPERM:
                return ReadFailure::Permission;
            case EISDIR:
                return ReadFailure::Folder;
            default:
                return ReadFailure::Other;
        }
    }
    struct stat status;
    const bool folder = ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
    ::close(fd);
    return folder ? ReadFailure::Folder : ReadFailure::None;
}

std::uint8_t sampleToByte(double v) {
    if (!(v > 0))
        return 0;  // also NaN
    if (v >= 255)
        return 255;
    return std::uint8_t(int(v));
}

}  // namespace

ImageIO::ImageIO() : m(new ImageIOData) {
    m->decompressor = tjInitDecompress();
    if (!m->decompressor)
        FatalError("tjInitDecompress failed.");
    m->compressor = tjInitCompress();
    if (!m->compressor)
        FatalError("tjInitCompress failed.");
}

int JpegExifOrientation(const std::uint8_t* data, std::size_t size) {
    // Markers from SOI up to the start of the scan; each segment's length counts itself.
    std::size_t at = 2;
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return 1;
    while (at + 4 <= size && data[at] == 0xFF) {
        const int marker = data[at + 1];
        if (marker == 0xDA || marker == 0xD9)
            break;
        const std::size_t length = std::size_t(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || at + 2 + length > size)
            break;
        const std::uint8_t* segment = data + at + 4;
        const std::size_t n = length - 2;
        if (marker == 0xE1 && n >= 14 && std::memcmp(segment, "Exif\0\0", 6) == 0) {
            const std::uint8_t* tiff = segment + 6;
            const std::size_t tiffSize = n - 6;
            const bool big = tiff[0] == 'M' && tiff[1] == 'M';
            if (!big && !(tiff[0] == 'I' && tiff[1] == 'I'))
                return 1;
            auto u16 = [&](std::size_t o) {
                return big ? unsigned(tiff[o]) << 8 | tiff[o + 1]
                           : unsigned(tiff[o + 1]) << 8 | tiff[o];
            };
            auto u32 = [&](std::size_t o) {
                return big ? std::uint32_t(u16(o)) << 16 | u16(o + 2)
                           : std::uint32_t(u16(o + 2)) << 16 | u16(o);
            };
            if (u16(2) != 42)
                return 1;
            const std::size_t ifd = u32(4);
            if (ifd > tiffSize || tiffSize - ifd < 2)
                return 1;
            const std::size_t entries = u16(ifd);
            for (std::size_t e = 0; e < entries; ++e) {
                const std::size_t entry = ifd + 2 + 12 * e;
                if (entry + 12 > tiffSize)
                    return 1;
                // Orientation: one SHORT, held in the entry itself.
                if (u16(entry) == 0x0112) {
                    if (u16(entry + 2) != 3 || u32(entry + 4) != 1)
                        return 1;
                    const unsigned value = u16(entry + 8);
                    return value >= 1 && value <= 8 ? int(value) : 1;
                }
            }
            return 1;
        }
        at += 2 + length;
    }
    return 1;
}

namespace {

// The pixels of `image` moved as the orientation says into `out`; `Pixel` is one whole pixel.
template <typename Pixel>
void reorient(const Image& image, Image& out, int orientation) {
    // Per orientation: whether rows and columns swap, then whether the stored x and y run
    // backwards.
    static constexpr bool kTranspose[9] = {false, false, false, false, false,
                                           true,  true,  true,  true};
    static constexpr bool kFlipX[9] = {false, false, true, true, false, false, false, true, true};
    static constexpr bool kFlipY[9] = {false, false, false, true, true, false, true, true, false};
    const int w = image.width(), h = image.height();
    const bool transpose = kTranspose[orientation];
    const int outW = out.width(), outH = out.height();
    const auto* in = reinterpret_cast<const Pixel*>(image.pixels());
    auto* to = reinterpret_cast<Pixel*>(out.pixels());
    for (int y = 0; y < outH; ++y) {
        for (int x = 0; x < outW; ++x) {
            int sx = transpose ? y : x, sy = transpose ? x : y;
            if (kFlipX[orientation])
                sx = w - 1 - sx;
            if (kFlipY[orientation])
                sy = h - 1 - sy;
            to[std::size_t(y) * outW + x] = in[std::size_t(sy) * w + sx];
        }
    }
}

}  // namespace

ImageRef ImageWithOrientation(const ImageRef& image, int orientation) {
    if (!image || orientation < 2 || orientation > 8)
        return image;
    const int w = image->width(), h = image->height();
    const bool transpose = orientation >= 5;
    auto out = std::make_shared<Image>(transpose ? h : w, transpose ? w : h, image->depth());
    if (image->depth() == 16)
        reorient<std::uint64_t>(*image, *out, orientation);
    else
        reorient<std::uint32_t>(*image, *out, orientation);
    return out;
}

ImageIO& ImageIO::sharedInstance() {
    // Never destroyed: workers may still encode while static objects are torn down at exit.
    static ImageIO* instance = new ImageIO;
    return *instance;
}

std::vector<std::string> ImageIO::supportedExtensions() const {
    std::vector<std::string> extensions{"jpg", "jpeg", "png"};
    for (std::string& extension : PlatformReadableExtensions()) {
        if (extension != "jpg" && extension != "jpeg" && extension != "png") {
            extensions.push_back(std::move(extension));
        }
    }
    return extensions;
}

ImageRef ImageIO::readFromFile(const std::string& path) {
    std::string format;
    return readFromFile(path, format);
}

ImageRef ImageIO::readFromFile(const std::string& path, std::string& outFormat) {
    ReadFailure failure;
    return readFromFile(path, outFormat, failure);
}

ImageRef ImageIO::readFromFile(const std::string& path, std::string& outFormat,
                               ReadFailure& failure) {
    outFormat.clear();
    failure = openFailure(path);
    if (failure != ReadFailure::None)
        return nullptr;
    failure = ReadFailure::NotAnImage;  // unless a decoder refuses the size
    if (ImageRef image = readJpeg(path, &failure)) {
        outFormat = "JPEG";
        failure = ReadFailure::None;
        return image;
    }
    if (PngReaderPtr reader{PngReaderOpenFile(path.c_str())}) {
        if (ImageRef image = decodePng(reader.get(), path.c_str(), true, &failure)) {
            outFormat = "PNG";
            failure = ReadFailure::None;
            return image;
        }
    }
    // TIFFs of 16 bits a sample are decoded here at full depth; all others go through Qt.
    std::shared_ptr<ByteBuffer> wide;
    int width = 0, height = 0, orientation = 1;
    switch (TiffRead16(path, kMaxImagePixels, wide, width, height, orientation)) {
        case TiffRead16Result::NotSixteenBit:
            break;
        case TiffRead16Result::TooLarge:
            failure = ReadFailure::TooLarge;
            return nullptr;
        case TiffRead16Result::Failed:
            return nullptr;
        case TiffRead16Result::Decoded:
            outFormat = "TIFF";
            failure = ReadFailure::None;
            return ImageWithOrientation(std::make_shared<Image>(std::move(wide), width, height, 16),
                                        orientation);
    }
    ByteBuffer png;
    std::string format;
    if (!PlatformDecodeToPng(png, format, path, kMaxImagePixels))
        return nullptr;
    ImageRef image = readFromMemory(png);
    if (image) {
        for (char& c : format) c = char(std::toupper(static_cast<unsigned char>(c)));
        outFormat = format;
        failure = ReadFailure::None;
    }
    return image;
}

ImageRef ImageIO::readFromFileJpeg(const std::string& path) {
    return readJpeg(path, nullptr);
}

ImageRef ImageIO::readJpeg(const std::string& path, ReadFailure* failure) {
    ByteBuffer bytes;
    if (!readJpegFile(bytes, path))
        return nullptr;
    std::lock_guard<Lock> guard(m->jpegLock);
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(m->decompressor, bytes.data(), bytes.size(), &width, &height,
                            &subsampling, &colorspace) != 0) {
        return nullptr;
    }
    if (width < 1 || height < 1 || refuseSize(path.c_str(), width, height, failure))
        return nullptr;
    auto data = NewPixelBuffer(std::size_t(width) * 4 * std::size_t(height));
    // Alpha-first output fills the A, R, G, B layout directly; any warning (a truncated or
    // damaged stream) counts as failure, and readFromFile then offers the file to Qt.
    if (tjDecompress2(m->decompressor, bytes.data(), bytes.size(), data->data(), width, width * 4,
                      height, TJPF_ARGB, 0) != 0) {
        return nullptr;
    }
    // The alpha-first format comes out of the decoder opaque already.
    auto image = std::make_shared<Image>(std::move(data), width, height);
    return ImageWithOrientation(image, JpegExifOrientation(bytes.data(), bytes.size()));
}

ImageRef ImageIO::readFromFilePng(const std::string& path, bool forceOpaque) {
    PngReaderPtr reader(PngReaderOpenFile(path.c_str()));
    if (!reader)
        return nullptr;
    return decodePng(reader.get(), path.c_str(), forceOpaque);
}

ImageRef ImageIO::readFromMemory(const ByteBuffer& data) {
    PngReaderPtr reader(PngReaderOpenMemory(data.data(), data.size()));
    if (!reader)
        return nullptr;
    return decodePng(reader.get(), "(memory)", true);
}

bool ImageIO::writeImage(const ImageRef& image, const std::string& path) {
    return writeImage(image, "PNG", -1, path);
}

bool ImageIO::writeImage(const ImageRef& image, const std::string& type, int quality,
                         const std::string& path) {
    ImageWriteOptions options;
    options.type = type;
    options.quality = quality;
    return writeImage(image, options, path);
}

bool ImageIO::writeImage(const ImageRef& image, const ImageWriteOptions& options,
                         const std::string& path, WriteFailure* failure) {
    VK_CHECK(image);
    if (options.type == "JPEG")
        return writeJpeg(image, options.quality, path, failure);
    const ImageRef atDepth = options.depth ? ImageAtDepth(image, options.depth) : image;
    if (options.type == "TIFF") {
        ByteBuffer tiff;
        if (!TiffWrite(tiff, atDepth->width(), atDepth->height(), atDepth->pixels(),
                       std::size_t(atDepth->width()) * atDepth->bytesPerPixel(),
                       options.compressTiff, atDepth->depth())) {
            LogInfo("[write_tiff_file] Could not encode %s\n", path.c_str());
            if (failure)
                *failure = WriteFailure::NotEncoded;
            return false;
        }
        return WriteBytesAtomically(path, "[write_tiff_file]", tiff, failure);
    }
    return writePngFile(atDepth, path, options.srgbTag, failure);
}

bool ImageIO::writeJpeg(const ImageRef& image, int quality, const std::string& path,
                        WriteFailure* failure) {
    VK_CHECK(image);
    if (image->depth() != 8)
        return writeJpeg(ImageAtDepth(image, 8), quality, path, failure);
    if (failure)
        *failure = WriteFailure::NotEncoded;  // until the file is written
    if (quality < 1 || quality > 100) {
        LogInfo("[write_jpeg_file] Quality %d is outside 1 to 100, %s not written\n", quality,
                path.c_str());
        return false;
    }
    const int width = image->width(), height = image->height();
    ByteBuffer jpeg;
    {
        std::lock_guard<Lock> guard(m->jpegLock);
        const unsigned long capacity = tjBufSize(width, height, TJSAMP_420);
        if (capacity == static_cast<unsigned long>(-1)) {
            LogInfo("[write_jpeg_file] %s, %s not written\n", tjGetErrorStr2(nullptr),
                    path.c_str());
            return false;
        }
        jpeg.resize(capacity);
        unsigned char* out = jpeg.data();
        unsigned long size = capacity;
        if (tjCompress2(m->compressor, image->pixels(), width, width * 4, height, TJPF_ARGB, &out,
                        &size, TJSAMP_420, quality, TJFLAG_NOREALLOC) != 0) {
            LogInfo("[write_jpeg_file] %s, %s not written\n", tjGetErrorStr2(m->compressor),
                    path.c_str());
            return false;
        }
        jpeg.resize(size);
    }
    return WriteBytesAtomically(path, "[write_jpeg_file]", jpeg, failure);
}

bool ImageIO::writeImage(const ImageRef& image, ByteBuffer& toMemory) {
    VK_CHECK(image);
    Timer timer;
    timer.start();
    const std::size_t initialSize = toMemory.size();
    const int width = image->width(), height = image->height();
    if (!PngWrite(appendToBuffer, &toMemory, width, height, image->pixels(),
                  std::size_t(width) * image->bytesPerPixel(), true, image->depth())) {
        toMemory.resize(initialSize);
        return false;
    }
    const double length = double(toMemory.size());
    const double pixels = double(width) * double(height);
    LogInfo(
        "wrote %dx%d images (%.1f MP) in %d bytes (%.1f MB), %.1f%% of original size, took %.2f "
        "seconds\n",
        width, height, pixels / 1000000, int(toMemory.size()), length / 1048576,
        length * 100 / (pixels * 3), timer.elapsed());
    return true;
}

void DumpImage_imp(const CImage& image, const char* name, int normalise, float max) {
    const int count = gDumpCount.fetch_add(1);
    char fileName[512];
    if (normalise) {
        std::snprintf(fileName, sizeof fileName, "%d-%s-%.3f.png", count, name, double(max));
    } else {
        std::snprintf(fileName, sizeof fileName, "%d-%s.png", count, name);
    }
    ImageIO::sharedInstance().writeImage(image.asImage(), fileName);
}

namespace {

// Fills a grey image from the samples; `Real` is the precision of the whole calculation.
template <typename Real>
void dumpRaw(const Real* samples, int width, int height, int normalise, const char* format,
             va_list args) {
    const std::size_t count = std::size_t(width) * std::size_t(height);
    Real max = 1, scale = 255;
    if (normalise) {
        max = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (samples[i] > max)
                max = samples[i];
        }
        scale = Real(255) / max;
    }
    CImage image(width, height);  // opaque white: alpha is already 255
    std::uint8_t* pixels = image.pixels();
    for (std::size_t i = 0; i < count; ++i) {
        // With max 0 the scale is infinite and every product 0 × inf or NaN: all come out 0.
        const std::uint8_t grey = max > 0 ? sampleToByte(double(Real(samples[i] * scale))) : 0;
        pixels[4 * i + 1] = pixels[4 * i + 2] = pixels[4 * i + 3] = grey;
    }
    char name[256];
    std::vsnprintf(name, sizeof name, format, args);
    DumpImage_imp(image, name, normalise, float(max));
}

}  // namespace

void DumpRawImageFloat(const float* samples, int width, int height, int normalise,
                       const char* format, ...) {
    va_list args;
    va_start(args, format);
    dumpRaw(samples, width, height, normalise, format, args);
    va_end(args);
}

void DumpRawImageDouble(const double* samples, int width, int height, int normalise,
                        const char* format, ...) {
    va_list args;
    va_start(args, format);
    dumpRaw(samples, width, height, normalise, format, args);
    va_end(args);
}

}  // namespace velkaro
