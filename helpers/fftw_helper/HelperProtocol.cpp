#include "HelperProtocol.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace velkaro {

namespace {

std::int32_t ReadInt32LE(const unsigned char* p) {
    std::uint32_t v = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                      std::uint32_t(p[3]) << 24;
    return std::int32_t(v);
}

}  // namespace

std::uint64_t FftRequest::dataBytes() const {
    if (direction != 1 && direction != -1)
        return 0;
    return std::uint64_t(rows) * std::uint64_t(columns) * kBytesPerValue;
}

bool ParseRequestHeader(FftRequest& request, const unsigned char* header, std::uint64_t byteLimit) {
    const int direction = static_cast<signed char>(header[0]);
    const std::int32_t columns = ReadInt32LE(header + 1);
    const std::int32_t rows = ReadInt32LE(header + 5);
    if (direction < kRealBackward || direction > kRealForward)
        return false;
    if (rows < 0 || columns < 0)
        return false;
    if (direction != 0) {
        // rows × columns < 2^62, so the product cannot overflow; the byte count is compared
        // without multiplying by 16 for the same reason. Real data takes at most 24 bytes per
        // value in the shared region (8 for the array, 16 for half the spectrum, page rounding).
        const std::uint64_t values = std::uint64_t(rows) * std::uint64_t(columns);
        if (values > byteLimit / kBytesPerValue)
            return false;
        if ((direction == kRealForward || direction == kRealBackward) &&
            RealTransformLayout(rows, columns).bytes > byteLimit)
            return false;
    }
    request.direction = direction;
    request.columns = columns;
    request.rows = rows;
    return true;
}

std::size_t ReadFully(int fd, void* buffer, std::size_t size) {
    auto* p = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    return done;
}

bool WriteFully(int fd, const void* buffer, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

int ServeRequests(int in, int out, FftEngine& engine, std::uint64_t byteLimit) {
    for (;;) {
        unsigned char header[kRequestHeaderSize];
        std::size_t got = ReadFully(in, header, sizeof header);
        if (got == 0)
            return 0;  // the client closed its end between requests
        if (got < sizeof header) {
            std::fprintf(stderr, "fftw_helper: request header cut short (%zu bytes)\n", got);
            return 1;
        }
        FftRequest request;
        if (!ParseRequestHeader(request, header, byteLimit)) {
            std::fprintf(stderr,
                         "fftw_helper: refusing request (direction %d, %d columns, %d rows)\n",
                         static_cast<signed char>(header[0]), ReadInt32LE(header + 1),
                         ReadInt32LE(header + 5));
            return 2;
        }
        if (request.direction == 0) {
            engine.release();
            continue;
        }
        if (request.direction == kRealForward || request.direction == kRealBackward) {
            if (request.rows == 0 || request.columns == 0)
                continue;  // nothing, no answer
            if (!engine.realTransform(request.rows, request.columns, request.direction)) {
                std::fprintf(stderr, "fftw_helper: cannot transform %d x %d real values\n",
                             request.rows, request.columns);
                return 3;
            }
            const unsigned char done = 0;
            if (!WriteFully(out, &done, 1))
                return 4;  // the client is gone
            continue;
        }
        const std::uint64_t bytes = request.dataBytes();
        if (bytes == 0)
            continue;  // nothing to transform and nothing to answer
        std::complex<double>* data = engine.buffer(request.rows, request.columns);
        if (!data) {
            std::fprintf(stderr, "fftw_helper: cannot allocate %d x %d values\n", request.rows,
                         request.columns);
            return 3;
        }
        if (ReadFully(in, data, bytes) < bytes) {
            std::fprintf(stderr, "fftw_helper: request data cut short\n");
            return 1;
        }
        if (!engine.transform(request.rows, request.columns, request.direction)) {
            std::fprintf(stderr, "fftw_helper: cannot transform %d x %d values\n", request.rows,
                         request.columns);
            return 3;
        }
        if (!WriteFully(out, data, bytes))
            return 4;  // the client is gone
    }
}

std::uint64_t PhysicalMemoryBytes() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0)
        return std::uint64_t(1) << 32;
    return std::uint64_t(pages) * std::uint64_t(pageSize);
}

}  // namespace velkaro
