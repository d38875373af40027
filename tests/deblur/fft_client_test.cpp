// The client of the FFT helper: how it reads answers (in pieces, cut short) and the lifetime of the
// helper process (dead, missing, stalled, cancelled, shared by many callers).

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DeblurTestSupport.h"
#include "fftw_process.h"

using namespace velkaro;

namespace {

using Complex = std::complex<double>;

// Each test starts and ends with the real helper; useFake points the client at the fake one, in
// `mode`, for the next helper it starts.
class FftClient : public testing::Test {
  protected:
    static void useFake(const char* mode) {
        fft_stop_helper();
        setenv("VELKARO_FFTW_HELPER", FAKE_FFTW_HELPER, 1);
        setenv("FAKE_FFTW_MODE", mode, 1);
    }
    void SetUp() override { fft_stop_helper(); }
    void TearDown() override {
        fft_stop_helper();
        unsetenv("VELKARO_FFTW_HELPER");
        unsetenv("FAKE_FFTW_MODE");
    }
};

// Answer of the fake helper: every double v becomes 2 v + direction.
std::vector<Complex> FakeAnswer(const std::vector<Complex>& in, int direction) {
    std::vector<Complex> out;
    for (Complex v : in) out.emplace_back(2 * v.real() + direction, 2 * v.imag() + direction);
    return out;
}

std::vector<Complex> RandomValues(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> d(-1, 1);
    std::vector<Complex> values(count);
    for (Complex& v : values) v = {d(random), d(random)};
    return values;
}

double MaxDifference(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    double worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

// A helper that closes half-way through its answer (the half that arrived is in place, the rest
// is the input), one dead before the request is written (larger than the pipe, so the write
// cannot vanish into its buffer) and one that cannot be started: the transform fails without a
// SIGPIPE (the caller's mask restored) and no helper is left; the next transform gets a fresh
// helper whose answer arrives in pieces.
TEST_F(FftClient, BrokenOrMissingHelpersAreReportedAndReplaced) {
    for (const char* mode : {"close", "die", "missing"}) {
        SCOPED_TRACE(mode);
        const bool close = std::string(mode) == "close";
        useFake(mode);
        if (std::string(mode) == "missing")
            setenv("VELKARO_FFTW_HELPER", "/nonexistent/fftw_helper", 1);
        const int rows = close ? 4 : 1024, columns = close ? 2 : 512;
        const std::vector<Complex> sent = RandomValues(std::size_t(rows) * columns, 2);
        std::vector<Complex> values = sent;
        testing::internal::CaptureStderr();
        EXPECT_EQ(fft_forward(values.data(), rows, columns), FftStatus::Failed);
        testing::internal::GetCapturedStderr();
        const std::vector<Complex> answer = FakeAnswer(sent, 1);
        for (std::size_t i = 0; i < values.size(); ++i)
            ASSERT_EQ(values[i], close && i < 4 ? answer[i] : sent[i]) << i;
        EXPECT_EQ(fft_helper_pid(), -1);
        sigset_t pending, mask;
        sigpending(&pending);
        EXPECT_FALSE(sigismember(&pending, SIGPIPE));
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        EXPECT_FALSE(sigismember(&mask, SIGPIPE));

        useFake("pieces");
        values = RandomValues(8, 3);
        const std::vector<Complex> small = values;
        EXPECT_EQ(fft_forward(values.data(), 4, 2), FftStatus::Done);
        EXPECT_EQ(values, FakeAnswer(small, 1));
        EXPECT_GT(fft_helper_pid(), 0);
    }
}

// A helper that stalls every time ends the transform with Failed, writing nothing and leaving no
// process behind; a cancel ends a pending exchange with Cancelled (with a deadline far beyond the
// test's time limit, it cannot come from the deadline). A helper stopped once is replaced: see
// tests/hardening/HelperKillTest.cpp.
TEST_F(FftClient, StalledHelperIsReportedAndCancelEndsTheWait) {
    const int R = 6, C = 5;
    std::vector<double> x(R * C, 0.5);
    useFake("stop");
    fft_set_deadline(0.2, 0);
    std::vector<Complex> half(R * (C / 2 + 1), Complex(7, 7));
    std::vector<Complex> values = RandomValues(8, 4);
    testing::internal::CaptureStderr();
    EXPECT_EQ(fft_real_forward(x.data(), half.data(), R, C), FftStatus::Failed);
    EXPECT_EQ(fft_forward(values.data(), 4, 2), FftStatus::Failed);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(half.front(), Complex(7, 7));  // nothing written after a failure
    EXPECT_EQ(fft_helper_pid(), -1);
    EXPECT_TRUE(deblurtest::childProcesses().empty());

    fft_set_deadline(3600, 0);
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancel = true;
    });
    EXPECT_EQ(fft_real_forward(x.data(), half.data(), R, C, &cancel), FftStatus::Cancelled);
    canceller.join();
    EXPECT_EQ(fft_backward(values.data(), 4, 2, &cancel), FftStatus::Cancelled);
    EXPECT_TRUE(deblurtest::childProcesses().empty());
    fft_set_deadline();
}

TEST_F(FftClient, OneProcessServesManyCallersRequestsAndCleanups) {
    std::vector<Complex> first(6);
    fft_forward(first.data(), 3, 2);
    const int pid = fft_helper_pid();
    ASSERT_GT(pid, 0);
    // Concurrent callers of several sizes, with cleanups between their transforms, each get
    // their own answers back.
    std::vector<std::thread> threads;
    std::vector<double> worst(4, 0.0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &worst] {
            const int rows = 8 + 3 * t + (t == 3 ? 53 : 0), columns = 5 + t;
            for (int i = 0; i < 15; ++i) {
                const std::vector<Complex> x = RandomValues(size_t(rows) * columns, 50 * t + i);
                std::vector<Complex> y = x;
                fft_forward(y.data(), rows, columns);
                if (i % 5 == t)
                    fft_cleanup();
                fft_backward(y.data(), rows, columns);
                for (Complex& v : y) v /= double(rows) * columns;
                worst[size_t(t)] = std::max(worst[size_t(t)], MaxDifference(x, y));
            }
        });
    for (std::thread& thread : threads) thread.join();
    for (double w : worst) EXPECT_LT(w, 1e-13);
    EXPECT_EQ(fft_helper_pid(), pid);
    EXPECT_EQ(deblurtest::childProcesses().size(), 1u);
}

}  // namespace
