// The FFT helper killed in the middle of a frequency-domain full deblur: the deblur ends, the
// session stays usable, and the next deblur gets a new helper and the right answer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <thread>

#include "../session/SessionTestSupport.h"
#include "Dispatch.h"
#include "ImageIO.h"
#include "fftw_process.h"

TEST(HelperKill, KilledDuringAFullWienerDeblur) {
    Session s;
    EventRecorder recorder;
    recorder.attach(s);
    ASSERT_TRUE(s.loadImage(testDataPath("coffee.png")));
    const DeblurredEntry entry{DeblurWI2, 6, -1, MaskSettings{-1, 0, 0, 0}};

    // A clean run first, as the reference.
    testing::internal::CaptureStdout();
    s.deblurStep(6, DeblurWI2, -1, 0, -1, 0, 0);
    ImageRef reference = s.deblurredImage(entry);
    ASSERT_TRUE(reference);

    // The same deblur again, its helper killed as soon as it is seen working on it.
    fft_stop_helper();
    std::atomic<bool> done{false};
    dispatchAsync(DispatchPriority::Default, [&] {
        s.deblurStep(6, DeblurWI2, -1, 0, -1, 0, 0);
        done = true;
    });
    int killed = -1;
    while (!done) {
        const int pid = fft_helper_pid();
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
    EXPECT_TRUE(s.deblurredImage(entry));  // something was stored and decodes

    // The next deblur starts a new helper and gives the clean result again.
    s.deblurStep(6, DeblurWI2, -1, 0, -1, 0, 0);
    testing::internal::GetCapturedStdout();
    ImageRef again = s.deblurredImage(entry);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again->data(), *reference->data());
    if (killed > 0) {
        EXPECT_NE(fft_helper_pid(), killed);
    }
    fft_stop_helper();
}
