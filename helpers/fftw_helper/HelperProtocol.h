#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>

// The byte format spoken on the helper's standard input and output.
//
// A request is a 9-byte header: the direction as one signed byte (1 forward, -1 backward,
// 0 cleanup), then the number of columns and the number of rows, each a 32-bit little-endian
// signed integer. For a transform, rows × columns complex values follow, each two doubles
// (real, imaginary) in the host's byte order, row after row; the answer is the same number of
// values, transformed. A cleanup request carries no data and gets no answer.

constexpr std::size_t kRequestHeaderSize = 9;
constexpr std::size_t kBytesPerValue = 16;

struct FftRequest {
    int direction = 0;  // 1, -1 or 0
    int columns = 0;
    int rows = 0;
    // rows × columns × 16, the size of the data that follows the header (0 for a cleanup).
    std::uint64_t dataBytes() const;
};

// Decodes and validates one header. Refuses (returns false) an unknown direction, a negative
// size, and a transform whose data would exceed `byteLimit` bytes.
bool ParseRequestHeader(FftRequest& request, const unsigned char* header, std::uint64_t byteLimit);

// The header bytes of a request (the inverse of ParseRequestHeader).
void EncodeRequestHeader(unsigned char* header, int direction, int rows, int columns);

// Reads until `size` bytes have arrived, end of input or an error; a read interrupted by a signal
// is repeated. Returns the number of bytes read.
std::size_t ReadFully(int fd, void* buffer, std::size_t size);

// Writes all `size` bytes, repeating after partial writes and interruptions. False when the
// other end is gone or the write fails.
bool WriteFully(int fd, const void* buffer, std::size_t size);

// What the helper does with the requests it reads.
class FftEngine {
public:
    virtual ~FftEngine() = default;
    // Storage for one rows × columns transform; kept by the engine until release().
    // Null when it cannot be allocated.
    virtual std::complex<double>* buffer(int rows, int columns) = 0;
    // Transforms the storage of that size in place (direction 1 or -1). False when no transform
    // of that size can be made.
    virtual bool transform(int rows, int columns, int direction) = 0;
    // Forgets everything kept between transforms.
    virtual void release() = 0;
};

// Serves requests from `in` and answers on `out` until the end of input. Returns the exit status
// of the helper: 0 after a clean end of input, non-zero after a refused request, a request cut
// short, a failed allocation or transform, or a failed answer. Nothing is allocated for a refused request.
int ServeRequests(int in, int out, FftEngine& engine, std::uint64_t byteLimit);

// The most memory the helper could ever hold: the machine's physical memory, in bytes.
std::uint64_t PhysicalMemoryBytes();
