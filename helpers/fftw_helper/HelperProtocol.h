#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>

namespace velkaro {

// The byte format spoken on the helper's standard input and output.
//
// A request is a 9-byte header: the direction as one signed byte, then the number of columns and
// the number of rows, each a 32-bit little-endian signed integer.
//
// Directions 1 (forward) and -1 (backward) are complex transforms through the pipe: rows × columns
// complex values follow the header, each two doubles (real, imaginary) in the host's byte order,
// row after row; the answer is the same number of values, transformed.
//
// Directions 2 (forward) and -2 (backward) are transforms of real data through the shared memory
// region the helper inherits as descriptor kSharedDescriptor (see RealTransformLayout): forward
// reads the real array and writes the half spectrum, backward reads the half spectrum (which it
// may overwrite) and writes the real array. Nothing follows the header; the answer is one byte, 0.
//
// Direction 0 (cleanup) carries no data and gets no answer: the helper releases its buffers and
// its mapping of the shared region.

constexpr std::size_t kRequestHeaderSize = 9;
constexpr std::size_t kBytesPerValue = 16;
constexpr int kSharedDescriptor = 3;
constexpr int kRealForward = 2;
constexpr int kRealBackward = -2;

// Where a real rows × columns transform keeps its data in the shared region: the real array of
// rows × columns doubles at offset 0, the half spectrum of rows × (columns / 2 + 1) complex values
// at `spectrumOffset` (page aligned); `bytes` is the size the region needs. Sizes must be valid
// (non-negative, rows × columns < 2^62).
struct RealTransformLayout {
    std::uint64_t spectrumOffset = 0;
    std::uint64_t bytes = 0;
    RealTransformLayout(int rows, int columns) {
        constexpr std::uint64_t kPage = 4096;
        const std::uint64_t real = std::uint64_t(rows) * std::uint64_t(columns) * 8;
        spectrumOffset = (real + kPage - 1) / kPage * kPage;
        bytes = spectrumOffset + std::uint64_t(rows) * std::uint64_t(columns / 2 + 1) * 16;
    }
};

struct FftRequest {
    int direction = 0;  // 1, -1, 2, -2 or 0
    int columns = 0;
    int rows = 0;
    // rows × columns × 16, the size of the data that follows the header (0 for a cleanup and for
    // the transforms of real data).
    std::uint64_t dataBytes() const;
};

// Decodes and validates one header. Refuses (returns false) an unknown direction, a negative
// size, and a transform whose data (in the pipe or in the shared region) would exceed
// `byteLimit` bytes.
bool ParseRequestHeader(FftRequest& request, const unsigned char* header, std::uint64_t byteLimit);

// The header bytes of a request (the inverse of ParseRequestHeader).
inline void EncodeRequestHeader(unsigned char* header, int direction, int rows, int columns) {
    header[0] = static_cast<unsigned char>(static_cast<signed char>(direction));
    for (int k = 0; k < 4; ++k) {
        header[1 + k] = static_cast<unsigned char>(static_cast<std::uint32_t>(columns) >> (8 * k));
        header[5 + k] = static_cast<unsigned char>(static_cast<std::uint32_t>(rows) >> (8 * k));
    }
}

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
    // Transforms real data in the shared region (direction kRealForward or kRealBackward, layout
    // RealTransformLayout). False when there is no shared region large enough or no transform of
    // that size can be made.
    virtual bool realTransform(int rows, int columns, int direction) = 0;
    // Forgets the buffers and the mapping kept between transforms.
    virtual void release() = 0;
};

// Serves requests from `in` and answers on `out` until the end of input. Returns the exit status
// of the helper: 0 after a clean end of input, non-zero after a refused request, a request cut
// short, a failed allocation or transform, or a failed answer. Nothing is allocated for a refused
// request.
int ServeRequests(int in, int out, FftEngine& engine, std::uint64_t byteLimit);

// The most memory the helper could ever hold: the machine's physical memory, in bytes.
std::uint64_t PhysicalMemoryBytes();

}  // namespace velkaro
