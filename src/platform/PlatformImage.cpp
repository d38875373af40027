// Decoding and encoding through Qt's image readers and writers.
#include "PlatformImage.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <algorithm>
#include <cstdio>

#include "AtomicFile.h"
#include "Log.h"

namespace velkaro {

namespace {

// Qt refuses to allocate an image above its allocation limit (128 MB by default, far below the
// photographs we open). Allow up to maxPixels at the widest format Qt decodes to here (16 bits
// per sample, 8 bytes per pixel), at least Qt's own default.
int allocationLimitMB(long long maxPixels) {
    const long long mb = maxPixels * 8 / (1024 * 1024);
    return int(std::clamp<long long>(mb, 128, 1 << 30));
}

bool tooLarge(const QSize& size, long long maxPixels) {
    return size.isValid() && (long long)size.width() * size.height() > maxPixels;
}

}  // namespace

bool PlatformDecodeToPng(std::vector<std::uint8_t>& outPng, std::string& outFormat,
                         const std::string& path, long long maxPixels) {
    outPng.clear();
    outFormat.clear();
    // The limit is process-wide in Qt: set it once.
    static const bool limitSet = [maxPixels] {
        QImageReader::setAllocationLimit(allocationLimitMB(maxPixels));
        return true;
    }();
    (void)limitSet;
    QImageReader reader(QString::fromStdString(path));
    reader.setAutoTransform(true);  // upright, as the file's orientation says
    if (!reader.canRead())
        return false;
    const QSize size = reader.size();
    if (tooLarge(size, maxPixels)) {
        LogWarning("%s: image of %dx%d pixels exceeds the limit of %lld pixels\n", path.c_str(),
                   size.width(), size.height(), maxPixels);
        return false;
    }
    outFormat = reader.format().toLower().toStdString();
    QImage image = reader.read();
    if (image.isNull())
        return false;
    if (tooLarge(image.size(), maxPixels)) {
        LogWarning("%s: image of %dx%d pixels exceeds the limit of %lld pixels\n", path.c_str(),
                   image.width(), image.height(), maxPixels);
        return false;
    }
    image.convertTo(QImage::Format_RGBA8888);
    if (image.isNull())
        return false;

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setQuality(100);  // the stream is decoded at once: spend no time compressing
    if (!writer.write(image))
        return false;
    outPng.assign(bytes.cbegin(), bytes.cend());
    return true;
}

bool PlatformReadGrey16(std::vector<std::uint16_t>& out, int& width, int& height,
                        const std::string& path, int maxSide, bool* tooLarge) {
    out.clear();
    *tooLarge = false;
    QImageReader reader(QString::fromStdString(path));
    if (!reader.canRead())
        return false;
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > maxSide || size.height() > maxSide)) {
        *tooLarge = true;
        return false;
    }
    QImage image = reader.read();
    if (image.isNull())
        return false;
    if (image.width() > maxSide || image.height() > maxSide) {
        *tooLarge = true;
        return false;
    }
    image.convertTo(QImage::Format_Grayscale16);
    if (image.isNull())
        return false;
    width = image.width(), height = image.height();
    out.resize(std::size_t(width) * height);
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const std::uint16_t*>(image.constScanLine(y));
        std::copy_n(row, width, &out[std::size_t(y) * width]);
    }
    return true;
}

bool PlatformWriteGrey16Png(const std::string& path, const std::vector<std::uint16_t>& levels,
                            int width, int height) {
    if (width <= 0 || height <= 0 || levels.size() != std::size_t(width) * height)
        return false;
    QImage image(width, height, QImage::Format_Grayscale16);
    for (int y = 0; y < height; ++y)
        std::copy_n(&levels[std::size_t(y) * width], width,
                    reinterpret_cast<std::uint16_t*>(image.scanLine(y)));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return false;
    return WriteBytesAtomically(path, "kernel",
                                std::vector<std::uint8_t>(bytes.cbegin(), bytes.cend()));
}

std::vector<std::string> PlatformReadableExtensions() {
    std::vector<std::string> extensions;
    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        extensions.push_back(format.toLower().toStdString());
    }
    std::sort(extensions.begin(), extensions.end());
    extensions.erase(std::unique(extensions.begin(), extensions.end()), extensions.end());
    return extensions;
}

}  // namespace velkaro
