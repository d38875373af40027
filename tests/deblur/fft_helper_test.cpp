// The fftw_helper program on its own: the request reader's validation, the engine's plans kept
// per size and released on cleanup, and the program's answers and exit statuses on raw bytes.

#include "FftwEngine.h"
#include "HelperProtocol.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <random>
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

std::vector<unsigned char> Header(int direction, int rows, int columns) {
    std::vector<unsigned char> h(kRequestHeaderSize);
    EncodeRequestHeader(h.data(), direction, rows, columns);
    return h;
}

void Append(std::vector<unsigned char>& bytes, const std::vector<Complex>& values) {
    const auto* p = reinterpret_cast<const unsigned char*>(values.data());
    bytes.insert(bytes.end(), p, p + values.size() * sizeof(Complex));
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

TEST(FftRequestHeader, AcceptsWellFormedAndRefusesBadRequests) {
    const std::uint64_t limit = 1 << 20;  // 65536 values
    FftRequest r;
    const unsigned char forward[9] = {0x01, 0x01, 0, 0, 0, 0x03, 0, 0, 0};
    ASSERT_TRUE(ParseRequestHeader(r, forward, limit));
    EXPECT_EQ(r.direction, 1);
    EXPECT_EQ(r.columns, 1);
    EXPECT_EQ(r.rows, 3);
    EXPECT_EQ(r.dataBytes(), 48u);
    const unsigned char backward[9] = {0xFF, 0x00, 0x01, 0, 0, 0x40, 0, 0, 0};
    ASSERT_TRUE(ParseRequestHeader(r, backward, limit));
    EXPECT_EQ(r.direction, -1);
    EXPECT_EQ(r.columns, 256);
    EXPECT_EQ(r.rows, 64);
    const unsigned char cleanup[9] = {};
    ASSERT_TRUE(ParseRequestHeader(r, cleanup, limit));
    EXPECT_EQ(r.dataBytes(), 0u);

    auto refused = [&](int direction, int rows, int columns) {
        std::vector<unsigned char> h = Header(direction, rows, columns);
        return !ParseRequestHeader(r, h.data(), limit);
    };
    EXPECT_FALSE(refused(1, 256, 256));  // exactly at the limit
    EXPECT_TRUE(refused(1, 256, 257));   // one row more than the limit holds
    EXPECT_TRUE(refused(-1, -1, 4));
    EXPECT_TRUE(refused(1, 4, -1));
    EXPECT_TRUE(refused(0, -5, 0));
    EXPECT_TRUE(refused(2, 1, 1));
    EXPECT_TRUE(refused(-2, 1, 1));
    EXPECT_TRUE(refused(1, 0x7FFFFFFF, 0x7FFFFFFF));
    EXPECT_FALSE(refused(1, 0, 5));  // empty transforms carry no data
}

TEST(FftwEngine, KeepsPlansPerSizeUntilCleanup) {
    std::vector<unsigned char> input;
    std::vector<Complex> a(4 * 4, Complex(1, 0)), b(3, Complex(0, 1));
    for (const auto& [direction, rows, columns, values] :
         {std::tuple{1, 4, 4, &a}, std::tuple{1, 3, 1, &b}, std::tuple{-1, 4, 4, &a}}) {
        std::vector<unsigned char> h = Header(direction, rows, columns);
        input.insert(input.end(), h.begin(), h.end());
        Append(input, *values);
    }
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    ASSERT_TRUE(WriteFully(in[1], input.data(), input.size()));
    close(in[1]);
    FftwEngine engine;
    EXPECT_EQ(ServeRequests(in[0], out[1], engine, PhysicalMemoryBytes()), 0);
    EXPECT_EQ(engine.keptSizes(), 2u);
    close(in[0]);
    close(out[1]);
    std::vector<Complex> answers(16 + 3 + 16);
    EXPECT_EQ(ReadFully(out[0], answers.data(), answers.size() * sizeof(Complex)),
              answers.size() * sizeof(Complex));
    close(out[0]);
    EXPECT_EQ(answers[0], Complex(16, 0));  // the sum of sixteen ones
    EXPECT_EQ(answers[1], Complex(0, 0));
    EXPECT_EQ(answers[16], Complex(0, 3));
    EXPECT_EQ(answers[19], Complex(16, 0));  // backward of ones: 16 at frequency 0 as well

    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    std::vector<unsigned char> cleanup = Header(0, 0, 0);
    ASSERT_TRUE(WriteFully(in[1], cleanup.data(), cleanup.size()));
    close(in[1]);
    EXPECT_EQ(ServeRequests(in[0], out[1], engine, PhysicalMemoryBytes()), 0);
    EXPECT_EQ(engine.keptSizes(), 0u);
    close(in[0]);
    close(out[1]);
    close(out[0]);
}

TEST(FftwHelperProgram, AnswersTransformsAndEndsWithItsInput) {
    std::mt19937 random(1);
    std::uniform_real_distribution<double> d(-1, 1);
    std::vector<Complex> x(5 * 3);
    for (Complex& v : x) v = {d(random), d(random)};
    std::vector<unsigned char> input = Header(1, 5, 3);
    Append(input, x);
    RunResult first = RunHelper(input);
    EXPECT_EQ(first.status, 0);
    ASSERT_EQ(first.output.size(), x.size() * sizeof(Complex));

    // Send the spectrum back, between cleanups: it returns 15 × x.
    input = Header(0, 0, 0);
    std::vector<unsigned char> h = Header(-1, 5, 3);
    input.insert(input.end(), h.begin(), h.end());
    input.insert(input.end(), first.output.begin(), first.output.end());
    h = Header(0, 0, 0);
    input.insert(input.end(), h.begin(), h.end());
    RunResult second = RunHelper(input);
    EXPECT_EQ(second.status, 0);
    ASSERT_EQ(second.output.size(), x.size() * sizeof(Complex));
    std::vector<Complex> back(x.size());
    std::memcpy(back.data(), second.output.data(), second.output.size());
    for (size_t k = 0; k < x.size(); ++k) EXPECT_NEAR(std::abs(back[k] - 15.0 * x[k]), 0, 1e-13);

    EXPECT_EQ(RunHelper({}).status, 0);
}

TEST(FftwHelperProgram, RefusesBadRequestsWithoutAllocating) {
    // Negative sizes, sizes beyond any memory, an unknown direction: refused at the header.
    for (auto header : {Header(1, -3, 4), Header(-1, 4, -3), Header(1, 0x7FFFFFFF, 0x7FFFFFFF),
                        Header(1, 2000000, 2000000), Header(7, 1, 1)}) {
        RunResult r = RunHelper(header);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.output.empty());
    }
    // Requests cut short.
    std::vector<unsigned char> partial = Header(1, 2, 2);
    partial.resize(5);
    EXPECT_EQ(RunHelper(partial).status, 1);
    std::vector<unsigned char> noData = Header(1, 2, 2);
    noData.resize(noData.size() + 40);
    EXPECT_EQ(RunHelper(noData).status, 1);
}

}  // namespace
