// The FFT helper's request reader: a stream of requests on its standard input, served with the
// real FFTW engine under a small memory limit and with a small shared region for the transforms
// of real data, answers thrown away.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "FftwEngine.h"
#include "HelperProtocol.h"

using namespace velkaro;

namespace {

// Large enough for a few hundred values per transform, small enough that a header claiming
// huge sizes is refused rather than allocated.
constexpr std::uint64_t kByteLimit = 1 << 20;

int openOrDie(int fd, const char* what) {
    if (fd < 0) {
        std::perror(what);
        std::abort();
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int in = openOrDie(memfd_create("velkaro-fuzz-requests", 0), "memfd_create");
    static const int out = openOrDie(open("/dev/null", O_WRONLY), "/dev/null");
    // Large enough for the real transforms of a few hundred values; larger ones find it too small.
    static const int shared = [] {
        const int fd = openOrDie(memfd_create("velkaro-fuzz-shared", 0), "memfd_create");
        if (ftruncate(fd, 64 << 10) != 0)
            std::abort();
        return fd;
    }();
    if (ftruncate(in, 0) != 0 || pwrite(in, data, size, 0) != ssize_t(size) ||
        lseek(in, 0, SEEK_SET) != 0) {
        std::perror("memfd");
        std::abort();
    }
    FftwEngine engine(shared);
    ServeRequests(in, out, engine, kByteLimit);
    engine.release();
    return 0;
}
