#include "fftw_process.h"

#include "Check.h"
#include "Log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

Lock gFftLock;

namespace {

// The running helper, or -1; both descriptors are -1 while no helper runs.
pid_t gFftw_helper = -1;
int gInput = -1;   // write end of the pipe to the helper's standard input
int gOutput = -1;  // read end of the pipe from the helper's standard output
FftExchangeStatistics gStatistics;

constexpr int kPipeSize = 1 << 20;  // fewer wake-ups per megabyte than the default 64 KiB

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// VELKARO_FFTW_HELPER when set; else beside the executable (build tree); else in
// ../libexec/velkaro relative to the executable's folder (installed layout).
std::string HelperPath() {
    if (const char* path = std::getenv("VELKARO_FFTW_HELPER"); path && *path) return path;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    exe[n] = 0;
    std::string dir(exe);
    dir.erase(dir.rfind('/'));
    for (const std::string& candidate :
         {dir + "/fftw_helper", dir + "/../libexec/velkaro/fftw_helper"}) {
        if (IsExecutable(candidate)) return candidate;
    }
    return {};
}

// Moves a descriptor above the standard ones, so that placing it on 0 or 1 in the child never
// collides with another descriptor and always clears its close-on-exec flag.
bool AboveStdio(int& fd) {
    if (fd > STDERR_FILENO) return true;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    fd = moved;
    return moved >= 0;
}

bool LaunchHelper() {
    const std::string path = HelperPath();
    if (path.empty()) return false;
    int toHelper[2];
    int fromHelper[2];
    if (pipe2(toHelper, O_CLOEXEC) != 0) return false;
    if (pipe2(fromHelper, O_CLOEXEC) != 0) {
        close(toHelper[0]);
        close(toHelper[1]);
        return false;
    }
    bool ok = true;
    for (int* fd : {&toHelper[0], &toHelper[1], &fromHelper[0], &fromHelper[1]}) {
        ok = AboveStdio(*fd) && ok;
    }
    pid_t pid = -1;
    if (ok) {
        fcntl(toHelper[1], F_SETPIPE_SZ, kPipeSize);
        fcntl(fromHelper[0], F_SETPIPE_SZ, kPipeSize);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toHelper[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromHelper[1], STDOUT_FILENO);
        // The helper starts with no blocked signals and the default SIGPIPE action, whatever
        // the calling thread has.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &pipe);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        if (posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ) != 0) pid = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    for (int fd : {toHelper[0], fromHelper[1]}) {
        if (fd >= 0) close(fd);
    }
    if (pid < 0) {
        for (int fd : {toHelper[1], fromHelper[0]}) {
            if (fd >= 0) close(fd);
        }
        return false;
    }
    gFftw_helper = pid;
    gInput = toHelper[1];
    gOutput = fromHelper[0];
    return true;
}

pid_t WaitFor(pid_t pid, int options) {
    pid_t r;
    do {
        r = waitpid(pid, nullptr, options);
    } while (r < 0 && errno == EINTR);
    return r;
}

// Closes the pipes and collects the helper (reaped: it has been collected already). A helper that
// does not end within a second of losing its input is killed.
void ForgetHelper(bool reaped) {
    close(gInput);
    close(gOutput);
    gInput = gOutput = -1;
    if (!reaped) {
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            ended = WaitFor(gFftw_helper, WNOHANG) != 0;
            if (!ended) usleep(10000);
        }
        if (!ended) {
            kill(gFftw_helper, SIGKILL);
            WaitFor(gFftw_helper, 0);
        }
    }
    gFftw_helper = -1;
}

// After a failed exchange the helper's stream is out of step (or the helper is gone): it is
// stopped, and the next transform starts a new one.
void AbandonHelper() {
    LogInfo(" (fftw_helper %d stopped; the next transform starts a new one)\n",
                int(gFftw_helper));
    kill(gFftw_helper, SIGKILL);
    ForgetHelper(false);
}

// Blocks SIGPIPE in the calling thread while it writes to the helper, so that writing to a helper
// that has died fails with EPIPE instead of ending the application; a SIGPIPE raised by such a
// write is taken off the thread before the mask is restored.
class SigpipeBlocker {
public:
    SigpipeBlocker() {
        sigemptyset(&mPipe);
        sigaddset(&mPipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &mPipe, &mOld);
        sigset_t pending;
        sigpending(&pending);
        mWasPending = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlocker() {
        if (mRaised && !mWasPending) {
            timespec zero{0, 0};
            while (sigtimedwait(&mPipe, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &mOld, nullptr);
    }
    SigpipeBlocker(const SigpipeBlocker&) = delete;
    SigpipeBlocker& operator=(const SigpipeBlocker&) = delete;

    // Writes all bytes, repeating after partial writes and interruptions.
    bool write(int fd, const void* buffer, size_t size) {
        const auto* p = static_cast<const unsigned char*>(buffer);
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(fd, p + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EPIPE) mRaised = true;
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }

private:
    sigset_t mPipe;
    sigset_t mOld;
    bool mWasPending = false;
    bool mRaised = false;
};

void EncodeInt32LE(unsigned char* p, int value) {
    auto v = static_cast<unsigned>(value);
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

// How one exchange ended. A failure before any byte of the answer arrived leaves the buffer
// holding its input, so the exchange can be repeated with a new helper.
enum class Exchange { Done, FailedInputKept, FailedInputLost };

// One request and its answer, gFftLock held.
Exchange ExchangeWithHelper(std::complex<double>* data, int rows, int columns, int direction) {
    if (gFftw_helper > 0 && WaitFor(gFftw_helper, WNOHANG) == gFftw_helper) {
        LogInfo("fftw_helper %d has ended; the next transform starts a new one\n",
                    int(gFftw_helper));
        ForgetHelper(true);
    }
    if (gFftw_helper < 0) {
        if (!data) return Exchange::Done;
        if (!LaunchHelper()) {
            LogInfo("could not launch helper tool...");
            return Exchange::FailedInputLost;  // a second launch would fail the same way
        }
    }

    const double start = Now();
    unsigned char header[9];
    header[0] = static_cast<unsigned char>(static_cast<signed char>(direction));
    EncodeInt32LE(header + 1, columns);
    EncodeInt32LE(header + 5, rows);
    const size_t bytes = direction == 0 ? 0 : size_t(rows) * size_t(columns) * sizeof(*data);
    {
        SigpipeBlocker blocker;
        if (!blocker.write(gInput, header, sizeof header)) {
            LogInfo("could not write header to helper tool...");
            AbandonHelper();
            return Exchange::FailedInputKept;
        }
        if (direction == 0) return Exchange::Done;
        if (!blocker.write(gInput, data, bytes)) {
            LogInfo("could not write data to helper tool...");
            AbandonHelper();
            return Exchange::FailedInputKept;
        }
    }
    const double sent = Now();
    double firstBytes = sent;

    auto* p = reinterpret_cast<unsigned char*>(data);
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = read(gOutput, p + done, bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            LogInfo("could not read data from helper tool...");
            AbandonHelper();
            return done == 0 ? Exchange::FailedInputKept : Exchange::FailedInputLost;
        }
        if (done == 0) firstBytes = Now();
        done += size_t(n);
    }
    const double end = Now();
    gStatistics.exchanges += 1;
    gStatistics.bytes += 2.0 * double(bytes);
    gStatistics.sendSeconds += sent - start;
    gStatistics.waitSeconds += firstBytes - sent;
    gStatistics.receiveSeconds += end - firstBytes;
    return Exchange::Done;
}

// A helper that dies (killed, or out of memory) before it answers costs one more exchange with a
// new helper, not a wrong result: the transform is repeated once from the input still in place.
void fft_direction(std::complex<double>* data, int rows, int columns, int direction) {
    VK_CHECK(rows >= 0 && columns >= 0);
    std::lock_guard<Lock> guard(gFftLock);
    if (ExchangeWithHelper(data, rows, columns, direction) != Exchange::FailedInputKept ||
        direction == 0)
        return;
    LogInfo("fftw_helper: repeating the transform with a new helper\n");
    ExchangeWithHelper(data, rows, columns, direction);
}

}  // namespace

void fft_forward(std::complex<double>* data, int rows, int columns) {
    fft_direction(data, rows, columns, 1);
}

void fft_backward(std::complex<double>* data, int rows, int columns) {
    fft_direction(data, rows, columns, -1);
}

void fft_cleanup() { fft_direction(nullptr, 0, 0, 0); }

FftExchangeStatistics fft_statistics() {
    std::lock_guard<Lock> guard(gFftLock);
    return gStatistics;
}

void fft_reset_statistics() {
    std::lock_guard<Lock> guard(gFftLock);
    gStatistics = FftExchangeStatistics();
}

int fft_helper_pid() {
    std::lock_guard<Lock> guard(gFftLock);
    return int(gFftw_helper);
}

void fft_stop_helper() {
    std::lock_guard<Lock> guard(gFftLock);
    if (gFftw_helper > 0) ForgetHelper(false);
}
