// The fftw_helper's request loop on raw bytes: plans kept per size and released on cleanup,
// answers, transforms of real data in the shared region, and the exit statuses for a clean end,
// a refused request, a failed transform and a request cut short.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <complex>
#include <vector>

#include "FftwEngine.h"
#include "HelperProtocol.h"

using namespace velkaro;

namespace {

using Complex = std::complex<double>;

// Requests of the given sizes, each complex transform followed by rows × columns zeros.
std::vector<unsigned char> Requests(std::initializer_list<std::vector<int>> headers) {
    std::vector<unsigned char> bytes;
    for (const std::vector<int>& h : headers) {
        bytes.resize(bytes.size() + kRequestHeaderSize);
        EncodeRequestHeader(&bytes[bytes.size() - kRequestHeaderSize], h[0], h[1], h[2]);
        if (h[0] != 1 && h[0] != -1)
            continue;  // cleanups and real transforms carry no data
        bytes.resize(bytes.size() + std::size_t(h[1]) * h[2] * sizeof(Complex), 0);
    }
    return bytes;
}

// Serves `input` (then end of input) as the helper program does; returns the exit status and
// fills `answers` with what was written back. Small inputs and answers only: both fit in a pipe.
int Serve(FftwEngine& engine, const std::vector<unsigned char>& input,
          std::vector<Complex>* answers = nullptr) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    EXPECT_TRUE(WriteFully(in[1], input.data(), input.size()));
    close(in[1]);
    const int status = ServeRequests(in[0], out[1], engine, PhysicalMemoryBytes());
    close(in[0]);
    close(out[1]);
    std::vector<Complex> received(4096);
    received.resize(ReadFully(out[0], received.data(), received.size() * sizeof(Complex)) /
                    sizeof(Complex));
    close(out[0]);
    if (answers)
        *answers = received;
    return status;
}

}  // namespace

TEST(FftwHelper, RefusesBadRequestsAndRequestsCutShort) {
    // Negative sizes, sizes beyond any memory, an unknown direction: refused at the header
    // (status 2), before anything is allocated, with no answer.
    const int requests[][3] = {
        {1, -3, 4}, {-1, 4, -3}, {0, -5, 0}, {1, 0x7FFFFFFF, 0x7FFFFFFF},     {1, 2000000, 2000000},
        {7, 1, 1},  {3, 1, 1},   {-3, 1, 1}, {kRealForward, 2000000, 2000000}};
    for (auto [direction, rows, columns] : requests) {
        FftwEngine engine;
        std::vector<Complex> answers;
        std::vector<unsigned char> header(kRequestHeaderSize);
        EncodeRequestHeader(header.data(), direction, rows, columns);
        EXPECT_EQ(Serve(engine, header, &answers), 2) << direction << " " << rows;
        EXPECT_TRUE(answers.empty());
        EXPECT_EQ(engine.keptSizes(), 0u);
    }
    // Cut in the header, cut in the data.
    FftwEngine engine;
    const std::vector<unsigned char> cut = Requests({{1, 2, 2}});
    EXPECT_EQ(Serve(engine, std::vector<unsigned char>(cut.begin(), cut.begin() + 5)), 1);
    EXPECT_EQ(Serve(engine, std::vector<unsigned char>(cut.begin(), cut.end() - 24)), 1);
}

TEST(FftwHelper, RealTransformsWorkInTheSharedRegionOnly) {
    const int R = 4, C = 6;
    const RealTransformLayout layout(R, C);
    const int fd = memfd_create("fft-helper-test", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(layout.bytes)), 0);

    // Forward and backward in the region, then a cleanup: the answers are one byte each (not a
    // whole value); real plans outlive the cleanup. Their numbers are checked term by term
    // through deconvwnr in fft_wnr_test.
    FftwEngine engine(fd);
    std::vector<Complex> answers;
    EXPECT_EQ(
        Serve(engine, Requests({{kRealForward, R, C}, {kRealBackward, R, C}, {0, 0, 0}}), &answers),
        0);
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(engine.keptRealPlans(), 2u);

    // A region too small for the request, and no region at all: the transform fails.
    EXPECT_EQ(Serve(engine, Requests({{kRealForward, R, C + 200}})), 3);
    FftwEngine unshared;
    EXPECT_EQ(Serve(unshared, Requests({{kRealForward, R, C}})), 3);
    close(fd);
}
