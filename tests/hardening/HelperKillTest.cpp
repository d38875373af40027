// The FFT helper killed or stopped in the middle of a frequency-domain full deblur: the transform
// it was doing is repeated with a new helper and the deblur ends with the right answer; a deblur
// whose every helper stops ends with DeblurFailed instead of waiting for ever.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "../deblur/DeblurTestSupport.h"
#include "../session/SessionTestSupport.h"
#include "Dispatch.h"
#include "ImageIO.h"
#include "fftw_process.h"

using namespace velkaro;

TEST(HelperKill, KilledOrStoppedDuringAFullWienerDeblur) {
    Session s;
    EventRecorder recorder(s);
    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));
    const DeblurredEntry entry{DeblurWI2, 6, -1, MaskSettings{-1, 0, 0, 0}};

    // A clean run first, as the reference.
    testing::internal::CaptureStderr();
    s.deblur(entry);
    ImageRef reference = s.deblurredImage(entry);
    ASSERT_TRUE(reference);
    fft_set_deadline(2, 2);

    // The helper not yet stopped, found in /proc: the client holds its lock for a whole exchange.
    auto runningHelper = [] {
        const std::vector<int> helpers = deblurtest::childProcesses("fftw_helper", false);
        return helpers.empty() ? -1 : helpers.back();
    };
    // Runs the deblur again on a worker, sending `signal` to each helper as soon as it is seen
    // (at most `limit` of them), until the deblur ends. Returns the first helper signalled.
    auto deblurSignalling = [&](int signal, int limit) {
        fft_stop_helper();
        recorder.clear();
        std::atomic<bool> done{false};
        dispatchAsync(DispatchPriority::Default, [&] {
            s.deblur(entry);
            done = true;
        });
        int first = -1;
        for (int signalled = 0; !done;) {
            const int pid = signalled < limit ? runningHelper() : -1;
            if (pid > 0) {
                kill(pid, signal);
                if (signalled++ == 0)
                    first = pid;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        EXPECT_TRUE(s.isIdle());
        return first;
    };
    auto expectReferenceResult = [&] {
        ImageRef result = s.deblurredImage(entry);
        ASSERT_TRUE(result);
        EXPECT_EQ(*result->data(), *reference->data());
    };

    // Killed as soon as it starts (in the middle of its first exchange): the transform is
    // repeated with a new helper (the data in shared memory is the caller's copy, so every
    // transform can be repeated).
    const int killed = deblurSignalling(SIGKILL, 1);
    EXPECT_EQ(recorder.count(ET::DeblurFinished), 1);
    expectReferenceResult();
    EXPECT_TRUE(killed <= 0 || fft_helper_pid() != killed);  // a new helper took over

    // One helper stopped: replaced after its deadline, and the result is the clean one.
    deblurSignalling(SIGSTOP, 1);
    EXPECT_EQ(recorder.count(ET::DeblurFinished), 1);
    expectReferenceResult();

    // Every helper stopped: the deblur ends, failed, and the stored result stays.
    deblurSignalling(SIGSTOP, 1000);
    EXPECT_EQ(recorder.count(ET::DeblurFailed), 1);
    EXPECT_EQ(recorder.count(ET::DeblurFinished), 0);
    expectReferenceResult();
    testing::internal::GetCapturedStderr();
    fft_set_deadline();
    fft_stop_helper();
}
