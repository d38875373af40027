#include "PngCodec.h"

#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Log.h"
#include "PngImageData.h"

namespace velkaro {

// libpng reports errors by long-jumping to the recovery point of png_jmpbuf. Each recovery point
// below sits in a small stage function that does nothing but libpng calls on plain pointers, and
// every callback libpng may jump out of is a plain function too: a jump never skips a destructor.

struct PngReader {
    png_structp png;
    png_infop info;
    std::FILE* file;           // file source, or null
    const std::uint8_t* data;  // memory source
    std::size_t size;
    std::size_t offset;
    int passes;
    int width;
    int height;
    int depth;             // 8 or 16 bits a decoded sample
    std::size_t rowBytes;  // of one decoded row
};

namespace {

// libpng's warnings (an ICC profile it finds odd, a late chunk) do not affect the pixels: drop
// them. Errors still print through libpng's default handler before the jump.
void ignoreWarning(png_structp, png_const_charp) {}

// Serves bytes from memory at the current offset. A read past the end delivers nothing and fails
// the decode through libpng's error path.
void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
    PngReader* reader = static_cast<PngReader*>(png_get_io_ptr(png));
    if (length > reader->size - reader->offset) {
        LogInfo("my_png_read_data past end\n");
        png_error(png, "read past the end of the stream");
    }
    std::memcpy(out, reader->data + reader->offset, length);
    reader->offset += length;
}

// Stage 1: attach the source, read the info and request the transformations to ARGB: 8-bit
// samples from files of 8 bits, native-order 16-bit samples from files of 16 bits.
bool readInfoStage(PngReader* reader) {
    png_structp png = reader->png;
    png_infop info = reader->info;
    if (setjmp(png_jmpbuf(png)))
        return false;
    if (reader->file) {
        png_init_io(png, reader->file);
        png_set_sig_bytes(png, 8);
    } else {
        png_set_read_fn(png, reader, readFromMemory);
    }
    png_read_info(png, info);
    reader->width = int(png_get_image_width(png, info));
    reader->height = int(png_get_image_height(png, info));
    // Palette and sub-8-bit images are not expanded here: their rows stay narrower than
    // width × 4 and the header check refuses them, so readFromFile opens them through Qt.
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE ||
        png_get_bit_depth(png, info) < 8) {
        reader->rowBytes = png_get_rowbytes(png, info);
        return true;
    }
    reader->passes = png_set_interlace_handling(png);
    reader->depth = png_get_bit_depth(png, info) == 16 ? 16 : 8;
    png_set_gray_to_rgb(png);
    // Only images without alpha get a filler: the largest sample value at their depth.
    png_set_filler(png, reader->depth == 16 ? 0xffff : 0xff, PNG_FILLER_BEFORE);
    png_set_swap_alpha(png);  // RGBA becomes ARGB
    if (reader->depth == 16 && std::endian::native == std::endian::little)
        png_set_swap(png);  // the file's big-endian words to the machine's order
    png_read_update_info(png, info);
    reader->rowBytes = png_get_rowbytes(png, info);
    return true;
}

void readRows(PngReader* reader, std::uint8_t* pixels, std::size_t rowBytes) {
    // Interlaced images take one sweep per pass, each refining the same rows.
    for (int pass = 0; pass < reader->passes; ++pass) {
        for (int y = 0; y < reader->height; ++y) {
            png_read_row(reader->png, pixels + std::size_t(y) * rowBytes, nullptr);
        }
    }
}

// Stage 2: the pixels, then (for files) the end chunk.
bool readImageStage(PngReader* reader, std::uint8_t* pixels, std::size_t rowBytes) {
    png_structp png = reader->png;
    if (setjmp(png_jmpbuf(png)))
        return false;
    readRows(reader, pixels, rowBytes);
    if (reader->file)
        png_read_end(png, nullptr);
    return true;
}

PngReader* createReader(std::FILE* file, const std::uint8_t* data, std::size_t size) {
    PngReader* reader = static_cast<PngReader*>(std::calloc(1, sizeof(PngReader)));
    if (!reader)
        return nullptr;
    reader->file = file;
    reader->data = data;
    reader->size = size;
    reader->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, ignoreWarning);
    if (!reader->png) {
        LogInfo("[read_png_file] png_create_read_struct failed\n");
        PngReaderClose(reader);
        return nullptr;
    }
    reader->info = png_create_info_struct(reader->png);
    if (!reader->info) {
        LogInfo("[read_png_file] png_create_info_struct failed\n");
        PngReaderClose(reader);
        return nullptr;
    }
    return reader;
}

struct WriteTarget {
    PngSink sink;
    void* context;
};

void writeToSink(png_structp png, png_bytep bytes, png_size_t length) {
    const WriteTarget* target = static_cast<const WriteTarget*>(png_get_io_ptr(png));
    if (!target->sink(target->context, bytes, length))
        png_error(png, "the output refused data");
}

void flushNothing(png_structp) {}

// Every PNG is written at this zlib level, in files and in memory alike.
constexpr int kCompressionLevel = 3;

// The end chunk: zero length, "IEND", its CRC.
constexpr std::uint8_t kEndChunk[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

bool writeChunks(PngSink sink, void* context, const std::vector<ByteBuffer>& chunks) {
    for (const ByteBuffer& chunk : chunks)
        if (!sink(context, chunk.data(), chunk.size()))
            return false;
    return true;
}

bool initIoStage(png_structp png, WriteTarget* target) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, target, writeToSink, flushNothing);
    return true;
}

bool writeHeaderStage(png_structp png, png_infop info, int width, int height, int depth, bool alpha,
                      bool srgb) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), depth,
                 alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (srgb)
        png_set_sRGB(png, info, PNG_sRGB_INTENT_ABSOLUTE);
    png_write_info(png, info);
    return true;
}

bool isOpaque(int width, int height, int depth, const std::uint8_t* pixels, std::size_t rowBytes) {
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels + std::size_t(y) * rowBytes;
        for (int x = 0; x < width; ++x) {
            if (depth == 16
                    ? reinterpret_cast<const std::uint16_t*>(row)[std::size_t(x) * 4] != 65535
                    : row[std::size_t(x) * 4] != 255)
                return false;
        }
    }
    return true;
}

}  // namespace

PngReader* PngReaderOpenFile(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return nullptr;
    png_byte signature[8];
    if (std::fread(signature, 1, 8, file) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
        std::fclose(file);
        return nullptr;
    }
    PngReader* reader = createReader(file, nullptr, 0);
    if (!reader)
        std::fclose(file);
    return reader;
}

PngReader* PngReaderOpenMemory(const std::uint8_t* data, std::size_t size) {
    return createReader(nullptr, data, size);
}

bool PngReaderReadHeader(PngReader* reader, int* width, int* height, int* depth) {
    if (!readInfoStage(reader)) {
        LogInfo("[read_png_file] Error during init_io\n");
        return false;
    }
    const std::size_t expected = std::size_t(reader->width) * std::size_t(reader->depth / 2);
    if (reader->rowBytes != expected) {
        LogInfo("bad row bytes: %d expected: %d\n", int(reader->rowBytes), int(expected));
        return false;
    }
    *width = reader->width;
    *height = reader->height;
    *depth = reader->depth;
    return true;
}

bool PngReaderReadImage(PngReader* reader, std::uint8_t* pixels, std::size_t rowBytes) {
    if (!readImageStage(reader, pixels, rowBytes)) {
        LogInfo("[read_png_file] Error during read_image\n");
        return false;
    }
    return true;
}

void PngReaderClose(PngReader* reader) {
    if (!reader)
        return;
    if (reader->png)
        png_destroy_read_struct(&reader->png, reader->info ? &reader->info : nullptr, nullptr);
    if (reader->file)
        std::fclose(reader->file);
    std::free(reader);
}

bool PngWrite(PngSink sink, void* context, int width, int height, const std::uint8_t* pixels,
              std::size_t rowBytes, bool srgb, int depth) {
    const bool alpha = !isOpaque(width, height, depth, pixels, rowBytes);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        LogInfo("[write_png_file] png_create_write_struct failed\n");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        LogInfo("[write_png_file] png_create_info_struct failed\n");
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    WriteTarget target{sink, context};
    const char* failure = nullptr;
    std::vector<ByteBuffer> chunks;
    if (!initIoStage(png, &target)) {
        failure = "[write_png_file] Error during init_io\n";
    } else if (!writeHeaderStage(png, info, width, height, depth, alpha, srgb)) {
        failure = "[write_png_file] Error during writing header\n";
    } else if (!PngEncodeImageData(chunks, width, height, pixels, rowBytes, kCompressionLevel,
                                   alpha, depth) ||
               !writeChunks(sink, context, chunks)) {
        failure = "[write_png_file] Error during writing bytes\n";
    } else if (!sink(context, kEndChunk, sizeof kEndChunk)) {
        failure = "[write_png_file] Error during end of write\n";
    }
    if (failure)
        LogInfo("%s", failure);
    png_destroy_write_struct(&png, &info);
    return failure == nullptr;
}

}  // namespace velkaro
