// A least-squares full deblur that would need more memory than is available is refused before it
// starts, with a message naming the preset and both amounts; every other preset is never refused.
#include <gtest/gtest.h>

#include "../session/SessionTestSupport.h"
#include "Dispatch.h"

namespace {

std::int64_t tinyAvailable() { return 1 << 20; }
std::int64_t hugeAvailable() { return std::int64_t(1) << 50; }

}  // namespace

TEST(MemoryRefusal, LeastSquaresBeyondTheAvailableMemoryIsRefused) {
    Session s;
    EventRecorder recorder;
    recorder.attach(s);
    std::string message;
    // Nothing loaded: nothing to refuse.
    EXPECT_TRUE(s.fullDeblurFitsInMemory(3, DeblurLA1, message));
    EXPECT_TRUE(message.empty());

    ASSERT_TRUE(s.loadImage(testDataPath("chelsea.png")));  // 451 × 300
    s.mAvailableMemory = tinyAvailable;
    // The solver's own estimate: 16 n² + 112 w h + 4 w h bytes, far above one MiB here.
    const std::int64_t needed = s.memoryUsageForDeblurType(3, DeblurLA2);
    ASSERT_GT(needed, 116LL * 451 * 300);
    for (DeblurType type : {DeblurLA1, DeblurLA2}) {
        EXPECT_FALSE(s.fullDeblurFitsInMemory(3, type, message));
        EXPECT_EQ(message.rfind(std::string("Not enough memory for ") + DeblurTypeName(type) +
                                    " at radius 1.5 on this 451x300 photograph: it needs about ",
                                0),
                  0u)
            << message;
        EXPECT_NE(message.find("GiB and 0.0 GiB are available."), std::string::npos) << message;
    }
    // The other presets estimate differently or not at all: they always start.
    for (DeblurType type : {DeblurUSM1, DeblurUSMF5, DeblurWF3, DeblurWI2, DeblurRL80,
                            DeblurRT20, DeblurFR, DeblurBlurSimulation}) {
        EXPECT_TRUE(s.fullDeblurFitsInMemory(3, type, message)) << DeblurTypeName(type);
        EXPECT_TRUE(message.empty());
    }

    // The task layer refuses it too, quietly for the session: no event, nothing stored, the
    // counter back where it was, the message on standard output.
    testing::internal::CaptureStdout();
    s.deblurStep(3, DeblurLA1, -1, 0, -1, 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Not enough memory for LA1"), std::string::npos) << out;
    EXPECT_EQ(out.find("Solving using sllsbox"), std::string::npos) << out;
    EXPECT_EQ(recorder.count(DeblurStarted), 0);
    EXPECT_EQ(recorder.count(DeblurFinished), 0);
    EXPECT_EQ(s.mRunningDeblurs.load(), 0);
    {
        std::lock_guard<Lock> guard(s.mLock);
        EXPECT_TRUE(s.mDeblurredImages.empty());
    }
    // With the memory there, the same request is accepted.
    s.mAvailableMemory = hugeAvailable;
    EXPECT_TRUE(s.fullDeblurFitsInMemory(3, DeblurLA1, message));
    EXPECT_TRUE(message.empty());
}

TEST(MemoryRefusal, TheSystemsOwnFigureAcceptsASmallPhotograph) {
    Session s;
    ASSERT_TRUE(s.loadImage(testDataPath("foo3x5x4indexed.png")));
    std::string message;
    EXPECT_TRUE(s.fullDeblurFitsInMemory(2, DeblurLA2, message)) << message;
}
