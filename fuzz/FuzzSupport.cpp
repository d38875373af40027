#include "FuzzSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ImageIO.h"

namespace velkaro {

namespace {

std::string scratchPath() {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/velkaro fuzz \xc3\xa9t\xc3\xa9 " + std::to_string(getpid());
}

}  // namespace

const std::string& WriteFuzzFile(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        std::string p = scratchPath();
        std::atexit([] { unlink(scratchPath().c_str()); });
        return p;
    }();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        std::abort();
    }
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            std::perror(path.c_str());
            std::abort();
        }
        done += std::size_t(n);
    }
    close(fd);
    return path;
}

void CheckDecodedImage(const Image& image, bool opaque) {
    const long long w = image.width(), h = image.height();
    if (w <= 0 || h <= 0 || w * h > kMaxImagePixels || !image.data() ||
        (image.depth() != 8 && image.depth() != 16) ||
        (long long)image.data()->size() != w * h * image.bytesPerPixel()) {
        std::fprintf(stderr, "decoded image of %lldx%lld at %d bits with %zu bytes\n", w, h,
                     image.depth(), image.data() ? image.data()->size() : 0);
        std::abort();
    }
    const std::uint8_t* bytes = image.pixels();
    const auto* words = reinterpret_cast<const std::uint16_t*>(bytes);
    const bool wide = image.depth() == 16;
    auto sample = [&](long long i) { return wide ? unsigned(words[i]) : unsigned(bytes[i]); };
    unsigned sum = 0;
    for (long long i = 0; i < w * h; ++i) {
        // A, R, G, B: the first sample of each pixel is its alpha.
        if (opaque && sample(i * 4) != unsigned(MaxSample(image.depth()))) {
            std::fprintf(stderr, "pixel %lld of an opaque read has alpha %u\n", i, sample(i * 4));
            std::abort();
        }
        sum += sample(i * 4 + 1) + sample(i * 4 + 2) + sample(i * 4 + 3);
    }
    volatile unsigned sink = sum;
    (void)sink;
}

}  // namespace velkaro
