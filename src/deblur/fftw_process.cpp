#include "fftw_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "Check.h"
#include "HelperProtocol.h"
#include "Log.h"

extern char** environ;

namespace velkaro {

Lock gFftLock;

namespace {

// The running helper, or -1; both descriptors are -1 while no helper runs.
pid_t gFftw_helper = -1;
int gInput = -1;   // write end of the pipe to the helper's standard input
int gOutput = -1;  // read end of the pipe from the helper's standard output
FftExchangeStatistics gStatistics;
// The region shared with every helper for transforms of real data, created at the first launch and
// kept for the application's run; its size follows the largest transform since the last cleanup.
int gShared = -1;
unsigned char* gSharedMap = nullptr;
std::size_t gSharedBytes = 0;
double gDeadlineBase = 5;
double gDeadlinePerMillion = 2;

constexpr int kPipeSize = 1 << 20;  // fewer wake-ups per megabyte than the default 64 KiB

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool IsExecutable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

// VELKARO_FFTW_HELPER when set; else beside the executable (build tree); else in
// ../libexec/velkaro relative to the executable's folder (installed layout).
std::string HelperPath() {
    if (const char* path = std::getenv("VELKARO_FFTW_HELPER"); path && *path)
        return path;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return {};
    exe[n] = 0;
    std::string dir(exe);
    dir.erase(dir.rfind('/'));
    for (const std::string& candidate :
         {dir + "/fftw_helper", dir + "/../libexec/velkaro/fftw_helper"}) {
        if (IsExecutable(candidate))
            return candidate;
    }
    return {};
}

// Moves a descriptor above the standard ones, so that placing it on 0 or 1 in the child never
// collides with another descriptor and always clears its close-on-exec flag.
bool AboveStdio(int& fd) {
    if (fd > STDERR_FILENO)
        return true;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    fd = moved;
    return moved >= 0;
}

bool LaunchHelper() {
    const std::string path = HelperPath();
    if (path.empty())
        return false;
    if (gShared < 0) {
        gShared = memfd_create("velkaro-fft", MFD_CLOEXEC);
        if (gShared >= 0 && !AboveStdio(gShared))
            gShared = -1;
        if (gShared >= 0 && gShared == kSharedDescriptor) {
            // Placed on itself in the child, it would keep its close-on-exec flag.
            const int moved = fcntl(gShared, F_DUPFD_CLOEXEC, kSharedDescriptor + 1);
            close(gShared);
            gShared = moved;
        }
    }
    int toHelper[2];
    int fromHelper[2];
    if (pipe2(toHelper, O_CLOEXEC) != 0)
        return false;
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
        if (gShared >= 0)
            posix_spawn_file_actions_adddup2(&actions, gShared, kSharedDescriptor);
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
        if (posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ) != 0)
            pid = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    for (int fd : {toHelper[0], fromHelper[1]}) {
        if (fd >= 0)
            close(fd);
    }
    if (pid < 0) {
        for (int fd : {toHelper[1], fromHelper[0]}) {
            if (fd >= 0)
                close(fd);
        }
        return false;
    }
    gFftw_helper = pid;
    gInput = toHelper[1];
    gOutput = fromHelper[0];
    // The client's ends never block: every wait on them is a poll() with a deadline.
    fcntl(gInput, F_SETFL, fcntl(gInput, F_GETFL) | O_NONBLOCK);
    fcntl(gOutput, F_SETFL, fcntl(gOutput, F_GETFL) | O_NONBLOCK);
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
        // Waits on a descriptor of the process, which becomes readable when it ends.
        bool ended = WaitFor(gFftw_helper, WNOHANG) != 0;
        if (!ended) {
            const int pidfd = int(syscall(SYS_pidfd_open, gFftw_helper, 0));
            if (pidfd >= 0) {
                pollfd p{pidfd, POLLIN, 0};
                int r;
                do {
                    r = poll(&p, 1, 1000);
                } while (r < 0 && errno == EINTR);
                close(pidfd);
            }
            ended = WaitFor(gFftw_helper, WNOHANG) != 0;
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
    LogInfo(" (fftw_helper %d stopped; the next transform starts a new one)\n", int(gFftw_helper));
    kill(gFftw_helper, SIGKILL);
    ForgetHelper(false);
}

enum class Wait { Ready, Cancelled, TimedOut, Broken };

// The end of one exchange: a time limit and the caller's cancel flag, both checked at least every
// kSliceMs while waiting on a pipe.
class Deadline {
  public:
    Deadline(std::size_t values, const std::atomic<bool>* cancel)
        : mEnd(Now() + gDeadlineBase + gDeadlinePerMillion * double(values) * 1e-6),
          mCancel(cancel) {}

    bool cancelled() const { return mCancel && mCancel->load(std::memory_order_relaxed); }

    // Waits until `fd` is ready for `events` (or has hung up), the deadline passes or the flag is
    // set.
    Wait wait(int fd, short events) const {
        for (;;) {
            if (cancelled())
                return Wait::Cancelled;
            const double left = mEnd - Now();
            if (left <= 0)
                return Wait::TimedOut;
            pollfd p{fd, events, 0};
            const int r = poll(&p, 1, int(std::min(left * 1000, double(kSliceMs))) + 1);
            if (r < 0 && errno != EINTR)
                return Wait::Broken;
            if (r > 0)
                return Wait::Ready;
        }
    }

  private:
    static constexpr int kSliceMs = 20;
    double mEnd;
    const std::atomic<bool>* mCancel;
};

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

    // Writes all bytes, repeating after partial writes and interruptions and waiting while the
    // pipe is full. Ready when all were written; otherwise why it stopped.
    Wait write(int fd, const void* buffer, size_t size, const Deadline& deadline) {
        const auto* p = static_cast<const unsigned char*>(buffer);
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(fd, p + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                const Wait w = deadline.wait(fd, POLLOUT);
                if (w != Wait::Ready)
                    return w;
                continue;
            }
            if (n < 0 && errno == EPIPE)
                mRaised = true;
            if (n <= 0)
                return Wait::Broken;
            done += size_t(n);
        }
        return Wait::Ready;
    }

  private:
    sigset_t mPipe;
    sigset_t mOld;
    bool mWasPending = false;
    bool mRaised = false;
};

// How one exchange ended. A failure before any byte of the answer arrived leaves the buffer
// holding its input, so the exchange can be repeated with a new helper.
enum class Exchange { Done, Cancelled, FailedInputKept, FailedInputLost };

// Ends an exchange that did not complete: the helper, out of step or unresponsive, is killed.
Exchange Abandon(Wait why, const char* what, bool inputKept) {
    if (why == Wait::Cancelled) {
        kill(gFftw_helper, SIGKILL);
        ForgetHelper(false);
        return Exchange::Cancelled;
    }
    if (why == Wait::TimedOut) {
        LogInfo("fftw_helper %d did not answer in time...", int(gFftw_helper));
    } else {
        LogInfo("%s", what);
    }
    AbandonHelper();
    return inputKept ? Exchange::FailedInputKept : Exchange::FailedInputLost;
}

// Collects a helper that has ended on its own and starts one when none runs. False when none
// could be started.
bool EnsureHelper() {
    if (gFftw_helper > 0 && WaitFor(gFftw_helper, WNOHANG) == gFftw_helper) {
        LogInfo("fftw_helper %d has ended; the next transform starts a new one\n",
                int(gFftw_helper));
        ForgetHelper(true);
    }
    if (gFftw_helper > 0)
        return true;
    if (LaunchHelper())
        return true;
    LogInfo("could not launch helper tool...");
    return false;
}

// One request through the pipe and its answer (complex data, or a cleanup when data is null),
// gFftLock held.
Exchange ExchangeWithHelper(std::complex<double>* data, int rows, int columns, int direction,
                            const std::atomic<bool>* cancel) {
    if (!data) {
        if (gFftw_helper > 0 && WaitFor(gFftw_helper, WNOHANG) == gFftw_helper)
            ForgetHelper(true);
        if (gFftw_helper < 0)
            return Exchange::Done;
    } else if (!EnsureHelper()) {
        return Exchange::FailedInputLost;  // a second launch would fail the same way
    }

    const size_t values = size_t(rows) * size_t(columns);
    const Deadline deadline(values, cancel);
    const double start = Now();
    unsigned char header[kRequestHeaderSize];
    EncodeRequestHeader(header, direction, rows, columns);
    const size_t bytes = direction == 0 ? 0 : values * sizeof(*data);
    {
        SigpipeBlocker blocker;
        Wait w = blocker.write(gInput, header, sizeof header, deadline);
        if (w != Wait::Ready)
            return Abandon(w, "could not write header to helper tool...", true);
        if (direction == 0)
            return Exchange::Done;
        w = blocker.write(gInput, data, bytes, deadline);
        if (w != Wait::Ready)
            return Abandon(w, "could not write data to helper tool...", true);
    }
    const double sent = Now();
    double firstBytes = sent;

    auto* p = reinterpret_cast<unsigned char*>(data);
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = read(gOutput, p + done, bytes - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            const Wait w = deadline.wait(gOutput, POLLIN);
            if (w != Wait::Ready)
                return Abandon(w, "could not read data from helper tool...", done == 0);
            continue;
        }
        if (n <= 0)
            return Abandon(Wait::Broken, "could not read data from helper tool...", done == 0);
        if (done == 0)
            firstBytes = Now();
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

// Makes the shared region at least `bytes` long and maps it here.
bool SharedRegion(std::size_t bytes) {
    if (gShared < 0)
        return false;
    if (gSharedMap && gSharedBytes >= bytes)
        return true;
    if (gSharedMap)
        munmap(gSharedMap, gSharedBytes);
    gSharedMap = nullptr;
    gSharedBytes = 0;
    if (ftruncate(gShared, off_t(bytes)) != 0)
        return false;
    // Populated at once: far cheaper than a page fault per 4 KiB as the first copy runs.
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, gShared, 0);
    if (p == MAP_FAILED)
        return false;
    gSharedMap = static_cast<unsigned char*>(p);
    gSharedBytes = bytes;
    return true;
}

void ReleaseSharedRegion() {
    if (gSharedMap)
        munmap(gSharedMap, gSharedBytes);
    gSharedMap = nullptr;
    gSharedBytes = 0;
    if (gShared >= 0 && ftruncate(gShared, 0) != 0) {
        // The region keeps its pages until the next transform resizes it; nothing else to do.
    }
}

// One transform of real data through the shared region, gFftLock held. The caller's arrays stay
// untouched until the answer has arrived, so the exchange can always be repeated.
Exchange RealExchange(const void* in, void* out, int rows, int columns, int direction,
                      const std::atomic<bool>* cancel) {
    if (!EnsureHelper())
        return Exchange::FailedInputLost;
    const RealTransformLayout layout(rows, columns);
    if (!SharedRegion(layout.bytes)) {
        LogInfo("could not share memory with helper tool...");
        return Exchange::FailedInputLost;
    }
    const size_t values = size_t(rows) * size_t(columns);
    const size_t realBytes = values * sizeof(double);
    const size_t spectrumBytes = size_t(rows) * size_t(columns / 2 + 1) * 16;
    unsigned char* real = gSharedMap;
    unsigned char* spectrum = gSharedMap + layout.spectrumOffset;
    const bool forward = direction == kRealForward;

    const Deadline deadline(values, cancel);
    const double start = Now();
    std::memcpy(forward ? real : spectrum, in, forward ? realBytes : spectrumBytes);
    unsigned char header[kRequestHeaderSize];
    EncodeRequestHeader(header, direction, rows, columns);
    {
        SigpipeBlocker blocker;
        const Wait w = blocker.write(gInput, header, sizeof header, deadline);
        if (w != Wait::Ready)
            return Abandon(w, "could not write header to helper tool...", true);
    }
    const double sent = Now();
    unsigned char answer = 1;
    for (;;) {
        ssize_t n = read(gOutput, &answer, 1);
        if (n == 1)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            const Wait w = deadline.wait(gOutput, POLLIN);
            if (w != Wait::Ready)
                return Abandon(w, "could not read data from helper tool...", true);
            continue;
        }
        return Abandon(Wait::Broken, "could not read data from helper tool...", true);
    }
    if (answer != 0)
        return Abandon(Wait::Broken, "could not read data from helper tool...", true);
    const double answered = Now();
    std::memcpy(out, forward ? spectrum : real, forward ? spectrumBytes : realBytes);
    const double end = Now();
    gStatistics.exchanges += 1;
    gStatistics.bytes += double(realBytes + spectrumBytes);
    gStatistics.sendSeconds += sent - start;
    gStatistics.waitSeconds += answered - sent;
    gStatistics.receiveSeconds += end - answered;
    return Exchange::Done;
}

// Takes gFftLock, giving up when the cancel flag is set while another exchange holds it.
bool LockUnlessCancelled(const std::atomic<bool>* cancel) {
    if (!cancel) {
        gFftLock.lock();
        return true;
    }
    // Blocks on the lock, looking at the flag between waits of a few milliseconds.
    constexpr int kLockSliceMs = 5;
    while (!gFftLock.tryLockFor(kLockSliceMs))
        if (cancel->load(std::memory_order_relaxed))
            return false;
    return true;
}

// Runs one exchange, and repeats it once with a new helper when the first failed with the input
// still in place (a helper that died, stalled or answered out of step costs one more exchange,
// not a wrong result).
template <typename Attempt>
FftStatus WithOneRepeat(const std::atomic<bool>* cancel, Attempt attempt) {
    if (!LockUnlessCancelled(cancel))
        return FftStatus::Cancelled;
    std::lock_guard<Lock> guard(gFftLock, std::adopt_lock);
    for (int round = 0;; ++round) {
        switch (attempt()) {
            case Exchange::Done:
                return FftStatus::Done;
            case Exchange::Cancelled:
                return FftStatus::Cancelled;
            case Exchange::FailedInputLost:
                return FftStatus::Failed;
            case Exchange::FailedInputKept:
                break;
        }
        if (round == 1)
            return FftStatus::Failed;
        LogInfo("fftw_helper: repeating the transform with a new helper\n");
    }
}

FftStatus fft_direction(std::complex<double>* data, int rows, int columns, int direction,
                        const std::atomic<bool>* cancel) {
    VK_CHECK(rows >= 0 && columns >= 0);
    return WithOneRepeat(
        cancel, [&] { return ExchangeWithHelper(data, rows, columns, direction, cancel); });
}

FftStatus RealTransform(const void* in, void* out, int rows, int columns, int direction,
                        const std::atomic<bool>* cancel) {
    VK_CHECK(rows >= 0 && columns >= 0);
    if (rows == 0 || columns == 0)
        return FftStatus::Done;
    return WithOneRepeat(cancel,
                         [&] { return RealExchange(in, out, rows, columns, direction, cancel); });
}

}  // namespace

FftStatus fft_forward(std::complex<double>* data, int rows, int columns,
                      const std::atomic<bool>* cancel) {
    return fft_direction(data, rows, columns, 1, cancel);
}

FftStatus fft_backward(std::complex<double>* data, int rows, int columns,
                       const std::atomic<bool>* cancel) {
    return fft_direction(data, rows, columns, -1, cancel);
}

FftStatus fft_real_forward(const double* real, std::complex<double>* spectrum, int rows,
                           int columns, const std::atomic<bool>* cancel) {
    return RealTransform(real, spectrum, rows, columns, kRealForward, cancel);
}

FftStatus fft_real_backward(const std::complex<double>* spectrum, double* real, int rows,
                            int columns, const std::atomic<bool>* cancel) {
    return RealTransform(spectrum, real, rows, columns, kRealBackward, cancel);
}

void fft_cleanup() {
    fft_direction(nullptr, 0, 0, 0, nullptr);
    std::lock_guard<Lock> guard(gFftLock);
    ReleaseSharedRegion();
}

void fft_set_deadline(double baseSeconds, double secondsPerMillionValues) {
    std::lock_guard<Lock> guard(gFftLock);
    gDeadlineBase = baseSeconds;
    gDeadlinePerMillion = secondsPerMillionValues;
}

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
    if (gFftw_helper > 0)
        ForgetHelper(false);
}

}  // namespace velkaro
