// A stand-in for fftw_helper used by the client tests. It answers each transform request with
// 2 × v + direction for every double v, so that a test can tell an answer from its request.
// FAKE_FFTW_MODE chooses how:
//   pieces (default)  the answer leaves in 7-byte pieces, with short pauses between the first ones
//   close             half of the answer is written, then the program exits
//   die               the program exits at once, before reading anything
//   stop              the program stops itself (SIGSTOP) as soon as a request's header has arrived,
//                     as a helper stopped from outside would

#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Reads or writes all `size` bytes unless the pipe ends; returns how many went through.
template <class Transfer, class Byte>
size_t Move(Transfer transfer, int fd, Byte* p, size_t size) {
    size_t done = 0;
    for (ssize_t n; done < size && (n = transfer(fd, p + done, size - done)) > 0;)
        done += size_t(n);
    return done;
}
size_t ReadAll(void* buffer, size_t size) {
    return Move(read, STDIN_FILENO, static_cast<unsigned char*>(buffer), size);
}
bool WriteAll(const unsigned char* p, size_t size) {
    return Move(write, STDOUT_FILENO, p, size) == size;
}

}  // namespace

int main() {
    const char* modeText = std::getenv("FAKE_FFTW_MODE");
    const std::string mode = modeText ? modeText : "pieces";
    if (mode == "die")
        return 0;
    for (;;) {
        unsigned char header[9];
        if (ReadAll(header, sizeof header) < sizeof header)
            return 0;
        if (mode == "stop")
            raise(SIGSTOP);
        const int direction = static_cast<signed char>(header[0]);
        std::int32_t shape[2];  // rows and columns, little-endian as this machine
        std::memcpy(shape, header + 1, sizeof shape);
        const size_t count = size_t(shape[0]) * size_t(shape[1]) * 2;
        if (direction == 0)
            continue;
        std::vector<double> values(count);
        if (ReadAll(values.data(), count * sizeof(double)) < count * sizeof(double))
            return 1;
        for (double& v : values) v = 2 * v + direction;
        const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
        const size_t size = count * sizeof(double);
        if (mode == "close") {
            WriteAll(bytes, size / 2);
            return 0;
        }
        for (size_t at = 0, piece = 0; at < size; at += 7, ++piece) {
            if (!WriteAll(bytes + at, std::min<size_t>(7, size - at)))
                return 1;
            if (piece < 4)
                usleep(2000);
        }
    }
}
