// The FFT helper killed in the middle of a frequency-domain full deblur: the transform it was
// doing is repeated with a new helper and the deblur ends with the right answer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <unistd.h>
#include <thread>

#include "../session/SessionTestSupport.h"
#include "Dispatch.h"
#include "ImageIO.h"
#include "fftw_process.h"

namespace {

// The helper process, found among this process's children without the client's lock (which is
// held for a whole exchange); -1 when none runs.
int RunningHelper() {
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    int found = -1;
    while (dirent* entry = readdir(proc)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string p, name, state;
        int parent = 0;
        if (stat >> p >> name >> state >> parent && parent == getpid() &&
            name == "(fftw_helper)" && state != "Z")
            found = pid;
    }
    closedir(proc);
    return found;
}

}  // namespace

TEST(HelperKill, KilledDuringAFullWienerDeblur) {
    Session s;
    EventRecorder recorder;
    recorder.attach(s);
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const DeblurredEntry entry{DeblurWI2, 6, -1, MaskSettings{-1, 0, 0, 0}};

    // A clean run first, as the reference.
    testing::internal::CaptureStderr();
    s.deblur(entry);
    ImageRef reference = s.deblurredImage(entry);
    ASSERT_TRUE(reference);

    // The same deblur again, its helper killed as soon as it is seen, in the middle of
    // its first exchange.
    fft_stop_helper();
    std::atomic<bool> done{false};
    dispatchAsync(DispatchPriority::Default, [&] {
        s.deblur(entry);
        done = true;
    });
    int killed = -1;
    while (!done) {
        const int pid = RunningHelper();
        if (pid > 0) {
            kill(pid, SIGKILL);
            killed = pid;
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(recorder.waitFor(ET::DeblurFinished, 2));
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(s.isIdle());
    const std::string killedLog = testing::internal::GetCapturedStderr();
    ImageRef killedResult = s.deblurredImage(entry);
    ASSERT_TRUE(killedResult);
    // Killed before it answered (nearly always: it is killed as soon as it starts), the
    // transform was repeated with a new helper and the result is the clean one. Only a helper
    // killed halfway through its answer leaves a transform that cannot be repeated.
    const bool repeated =
        killedLog.find("fftw_helper: repeating the transform with a new helper") != std::string::npos;
    const bool answerCut =
        !repeated && killedLog.find("could not read data from helper tool...") != std::string::npos;
    if (!answerCut) {
        EXPECT_EQ(*killedResult->data(), *reference->data()) << killedLog;
    }
    std::printf("helper %d killed; transform repeated: %s\n", killed, repeated ? "yes" : "no");
    if (killed > 0) {
        EXPECT_NE(fft_helper_pid(), killed);  // a new helper took over
    }
    fft_stop_helper();
}
