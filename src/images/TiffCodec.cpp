#include "TiffCodec.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velkaro {

namespace {

// The memory "file" libtiff writes into and may seek back over (it rewrites the directory offset).
struct MemoryFile {
    std::vector<std::uint8_t>* bytes;
    std::size_t position = 0;
};

tmsize_t readNothing(thandle_t, void*, tmsize_t) {
    return 0;
}

tmsize_t writeBytes(thandle_t handle, void* data, tmsize_t size) {
    auto* file = static_cast<MemoryFile*>(handle);
    const std::size_t end = file->position + std::size_t(size);
    try {
        if (end > file->bytes->size())
            file->bytes->resize(end);
    } catch (...) {
        return 0;  // out of memory: the encode fails
    }
    std::memcpy(file->bytes->data() + file->position, data, std::size_t(size));
    file->position = end;
    return size;
}

toff_t seekTo(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<MemoryFile*>(handle);
    const std::size_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? file->position
                                                  : file->bytes->size();
    file->position = base + std::size_t(offset);
    return toff_t(file->position);
}

int closeNothing(thandle_t) {
    return 0;
}
toff_t sizeOf(thandle_t handle) {
    return toff_t(static_cast<MemoryFile*>(handle)->bytes->size());
}
int mapNothing(thandle_t, void**, toff_t*) {
    return 0;
}
void unmapNothing(thandle_t, void*, toff_t) {}

}  // namespace

bool TiffWrite(std::vector<std::uint8_t>& out, int width, int height, const std::uint8_t* pixels,
               std::size_t rowBytes, bool compress) {
    out.clear();
    if (width < 1 || height < 1) {
        std::fprintf(stderr, "[write_tiff_file] an image of %dx%d pixels cannot be written\n",
                     width, height);
        return false;
    }
    bool opaque = true;
    for (int y = 0; y < height && opaque; ++y)
        for (int x = 0; x < width && opaque; ++x)
            opaque = pixels[std::size_t(y) * rowBytes + std::size_t(x) * 4] == 255;
    const int samples = opaque ? 3 : 4;

    MemoryFile file{&out};
    TIFF* tiff = TIFFClientOpen("memory", "w", &file, readNothing, writeBytes, seekTo, closeNothing,
                                sizeOf, mapNothing, unmapNothing);
    if (!tiff) {
        std::fprintf(stderr, "[write_tiff_file] libtiff could not start\n");
        return false;
    }
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, std::uint32_t(width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, std::uint32_t(height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (!opaque) {
        const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (compress) {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, 6);
    } else {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    }
    // Strips of about 64 KiB of pixels.
    const std::uint32_t stripRows =
        std::max<std::uint32_t>(1, std::uint32_t(65536 / (std::size_t(width) * samples)));
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, std::min<std::uint32_t>(stripRows, height));

    std::vector<std::uint8_t> row(std::size_t(width) * samples);
    bool ok = true;
    for (int y = 0; y < height && ok; ++y) {
        const std::uint8_t* argb = pixels + std::size_t(y) * rowBytes;
        std::uint8_t* to = row.data();
        for (int x = 0; x < width; ++x, argb += 4, to += samples) {
            to[0] = argb[1];
            to[1] = argb[2];
            to[2] = argb[3];
            if (samples == 4)
                to[3] = argb[0];
        }
        ok = TIFFWriteScanline(tiff, row.data(), std::uint32_t(y), 0) == 1;
    }
    ok = ok && TIFFWriteDirectory(tiff) == 1;
    TIFFClose(tiff);
    if (!ok) {
        std::fprintf(stderr, "[write_tiff_file] libtiff could not encode the image\n");
        out.clear();
    }
    return ok;
}

}  // namespace velkaro
