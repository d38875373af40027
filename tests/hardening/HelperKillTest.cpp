// The FFT helper killed or stopped in the middle of a frequency-domain full deblur: the transform it
// was doing is repeated with a new helper and the deblur ends with the right answer; a deblur whose
// every helper stops ends with DeblurFailed instead of waiting for ever.
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
// held for a whole exchange); -1 when none runs. A stopped helper counts only with `stopped`.
int RunningHelper(bool stopped = true) {
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
            name == "(fftw_helper)" && state != "Z" && (stopped || state != "T"))
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
    testing::internal::CaptureStdout();
    s.deblurStep(6, DeblurWI2, -1, 0, -1, 0, 0);
    ImageRef reference = s.deblurredImage(entry);
    ASSERT_TRUE(reference);

    // The same deblur again, its helper killed as soon as it is seen, in the middle of
    // its first exchange.
    fft_stop_helper();
    std::atomic<bool> done{false};
    dispatchAsync(DispatchPriority::Default, [&] {
        s.deblurStep(6, DeblurWI2, -1, 0, -1, 0, 0);
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
    ASSERT_TRUE(recorder.waitFor(DeblurFinished, 2));
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(s.mRunningDeblurs.load(), 0);
    const std::string killedLog = testing::internal::GetCapturedStdout();
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

TEST(HelperKill, StoppedDuringAFullWienerDeblur) {
    Session s;
    EventRecorder recorder;
    recorder.attach(s);
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const DeblurredEntry entry{DeblurWI2, 6, -1, MaskSettings{-1, 0, 0, 0}};
    testing::internal::CaptureStdout();
    s.deblurStep(6, DeblurWI2, -1, 0, -1, 0, 0);
    ImageRef reference = s.deblurredImage(entry);
    ASSERT_TRUE(reference);
    fft_set_deadline(2, 2);

    // Stops the helpers of one deblur as they appear (at most `limit` of them) until it ends.
    auto deblurStopping = [&](int limit) {
        fft_stop_helper();
        recorder.clear();
        std::atomic<bool> done{false};
        dispatchAsync(DispatchPriority::Default, [&] {
            s.deblurStep(6, DeblurWI2, -1, 0, -1, 0, 0);
            done = true;
        });
        for (int stopped = 0; !done;) {
            const int pid = stopped < limit ? RunningHelper(false) : -1;
            if (pid > 0) {
                kill(pid, SIGSTOP);
                ++stopped;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    };

    // One helper stopped: replaced after its deadline, and the result is the clean one.
    deblurStopping(1);
    EXPECT_EQ(recorder.count(DeblurFinished), 1);
    ImageRef result = s.deblurredImage(entry);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result->data(), *reference->data());

    // Every helper stopped: the deblur ends, failed, and its earlier result is not replaced.
    deblurStopping(1000);
    EXPECT_EQ(recorder.count(DeblurFailed), 1);
    EXPECT_EQ(recorder.count(DeblurFinished), 0);
    EXPECT_EQ(s.mRunningDeblurs.load(), 0);
    result = s.deblurredImage(entry);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result->data(), *reference->data());
    testing::internal::GetCapturedStdout();
    fft_set_deadline();
    fft_stop_helper();
}
