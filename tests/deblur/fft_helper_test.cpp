// The fftw_helper program on its own: the engine's plans kept per size and released on cleanup,
// and the program's answers and exit statuses on raw bytes, bad requests included.

#include "FftwEngine.h"
#include "HelperProtocol.h"

#include <gtest/gtest.h>

#include <complex>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Complex = std::complex<double>;

// Requests of the given sizes, each followed by `values` (or by rows × columns zeros).
std::vector<unsigned char> Requests(std::initializer_list<std::vector<int>> headers,
                                    const std::vector<Complex>* values = nullptr) {
    std::vector<unsigned char> bytes;
    for (const std::vector<int>& h : headers) {
        bytes.resize(bytes.size() + kRequestHeaderSize);
        EncodeRequestHeader(&bytes[bytes.size() - kRequestHeaderSize], h[0], h[1], h[2]);
        if (h[0] == 0) continue;
        const std::vector<Complex> data = values ? *values : std::vector<Complex>(h[1] * h[2]);
        const auto* p = reinterpret_cast<const unsigned char*>(data.data());
        bytes.insert(bytes.end(), p, p + std::size_t(h[1]) * h[2] * sizeof(Complex));
    }
    return bytes;
}

struct RunResult {
    std::vector<unsigned char> output;
    int status = -1;  // exit status, or -1 when the program did not exit normally
};

// Runs the helper program on `input` (then end of input) and collects its output and status.
RunResult RunHelper(const std::vector<unsigned char>& input) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string path = std::string(VELKARO_RUNTIME_DIR) + "/fftw_helper";
    char* argv[] = {path.data(), nullptr};
    pid_t pid;
    EXPECT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    // Small inputs only: they fit in the pipe, so writing everything first cannot block.
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    RunResult result;
    unsigned char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        result.output.insert(result.output.end(), buffer, buffer + n);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

TEST(FftwEngine, KeepsPlansPerSizeUntilCleanup) {
    std::vector<Complex> ones(16, Complex(1, 0));
    std::vector<unsigned char> input = Requests({{1, 4, 4}, {-1, 4, 4}}, &ones);
    const std::vector<unsigned char> more = Requests({{1, 3, 1}});
    input.insert(input.end(), more.begin(), more.end());
    FftwEngine engine;
    for (bool cleanup : {false, true}) {
        const std::vector<unsigned char> bytes = cleanup ? Requests({{0, 0, 0}}) : input;
        int in[2], out[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        ASSERT_TRUE(WriteFully(in[1], bytes.data(), bytes.size()));
        close(in[1]);
        EXPECT_EQ(ServeRequests(in[0], out[1], engine, PhysicalMemoryBytes()), 0);
        EXPECT_EQ(engine.keptSizes(), cleanup ? 0u : 2u);
        close(in[0]);
        close(out[1]);
        std::vector<Complex> answers(16 + 16 + 3);
        const std::size_t expected = cleanup ? 0 : answers.size() * sizeof(Complex);
        EXPECT_EQ(ReadFully(out[0], answers.data(), answers.size() * sizeof(Complex)), expected);
        close(out[0]);
        if (cleanup) continue;
        EXPECT_EQ(answers[0], Complex(16, 0));   // the sum of sixteen ones
        EXPECT_EQ(answers[1], Complex(0, 0));
        EXPECT_EQ(answers[16], Complex(16, 0));  // backward of ones: 16 at frequency 0 as well
        EXPECT_EQ(answers[32], Complex(0, 0));
    }
}

TEST(FftwHelperProgram, AnswersTransformsBetweenCleanupsAndRefusesBadRequests) {
    RunResult ok = RunHelper(Requests({{1, 5, 3}, {0, 0, 0}, {-1, 5, 3}, {0, 0, 0}}));
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.output.size(), 2 * 15 * sizeof(Complex));
    EXPECT_EQ(RunHelper({}).status, 0);
    // Negative sizes, sizes beyond any memory, an unknown direction: refused at the header,
    // before anything is allocated.
    for (auto [direction, rows, columns] : {std::tuple{1, -3, 4}, {-1, 4, -3},
                                            {1, 0x7FFFFFFF, 0x7FFFFFFF}, {1, 2000000, 2000000},
                                            {7, 1, 1}}) {
        std::vector<unsigned char> header(kRequestHeaderSize);
        EncodeRequestHeader(header.data(), direction, rows, columns);
        const RunResult r = RunHelper(header);
        EXPECT_EQ(r.status, 2) << direction << " " << rows;
        EXPECT_TRUE(r.output.empty());
    }
    // Requests cut short: in the header, in the data.
    std::vector<unsigned char> cut = Requests({{1, 2, 2}});
    EXPECT_EQ(RunHelper(std::vector<unsigned char>(cut.begin(), cut.begin() + 5)).status, 1);
    EXPECT_EQ(RunHelper(std::vector<unsigned char>(cut.begin(), cut.end() - 24)).status, 1);
}
