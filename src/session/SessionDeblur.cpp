// Full deblurs, the per-channel dispatch shared with the previews, and the full-result cache.

#include <cstdio>
#include <mutex>

#include "Check.h"
#include "ImageProcess.h"
#include "Session.h"

namespace {

// Single-precision constants of the presets, handed to the methods widened exactly as stored.
constexpr float kNoiseWF2 = 0.01f;
constexpr float kNoiseWF3 = 0.001f;
constexpr float kToleranceLA1 = 1e-6f;
constexpr float kToleranceLA2 = 1e-12f;
constexpr float kToleranceEstimate = 1e-4f;

int richardsonLucyIterations(DeblurType type) {
    switch (type) {
        case DeblurRL20: case DeblurRT20: return 20;
        case DeblurRL40: case DeblurRT40: return 40;
        default: return 80;
    }
}

}  // namespace

bool Session::deblurStepForChannel(int radiusStep, DeblurType deblurType, CImage* destination,
                                   int channel, int angle, bool full, int x, int y, int w,
                                   int h) {
    if (full && mStopDeblur.load(std::memory_order_relaxed)) return true;
    const double radius = radiusStep * 0.5;
    printf("%sblurring with radius %.2f\n", deblurType == DeblurBlurSimulation ? "" : "de",
           radius);

    const CImage& in = *mOriginalImage;
    CImage& out = *destination;
    switch (deblurType) {
        case DeblurUSM1: case DeblurUSM2: case DeblurUSM3: case DeblurUSM4: case DeblurUSM5:
            mMethods.unsharpMask(in, out, 1, channel, radius, double(deblurType - DeblurUSM1 + 1),
                                 angle, x, y, w, h);
            break;
        case DeblurUSMF1: case DeblurUSMF2: case DeblurUSMF3: case DeblurUSMF4: case DeblurUSMF5:
            mMethods.unsharpMask(in, out, 0, channel, radius, double(deblurType - DeblurUSMF1 + 1),
                                 angle, x, y, w, h);
            break;
        case DeblurWF2: case DeblurWF3: {
            const int matRadius = int(2 * radius);
            const double noise = deblurType == DeblurWF2 ? kNoiseWF2 : kNoiseWF3;
            printf("Solving using wiener fir for channel %d radius %.1f matRadius %d noise %f "
                   "gamma %.1f angle %d [%d %d %d %d]\n",
                   channel, radius, matRadius, noise, 0.0, angle, x, y, w, h);
            mMethods.wienerFir(in, out, channel, radius, matRadius, 0.0, noise, angle, x, y, w, h);
            break;
        }
        case DeblurWI2: case DeblurWI3: {
            const int matRadius = int(2 * radius);
            const double noise = deblurType == DeblurWI2 ? kNoiseWF2 : kNoiseWF3;
            printf("Solving using wiener iir for channel %d radius %.1f matRadius %d noise %f "
                   "gamma %.1f angle %d [%d %d %d %d]\n",
                   channel, radius, matRadius, noise, 0.0, angle, x, y, w, h);
            const FftStatus status = mMethods.wienerIir(in, out, channel, radius, noise, angle, x,
                                                        y, w, h, full ? &mStopDeblur : &mStopPreview);
            if (status == FftStatus::Failed) {
                printf("the Fourier transform helper failed twice; channel %d not deblurred\n",
                       channel);
                return false;
            }
            break;
        }
        case DeblurRL20: case DeblurRL40: case DeblurRL80:
        case DeblurRT20: case DeblurRT40: case DeblurRT80: {
            const int iterations = richardsonLucyIterations(deblurType);
            printf("Solving using richardson_lucy for channel %d radius %.1f iterations: %d angle "
                   "%d [%d %d %d %d]\n",
                   channel, radius, iterations, angle, x, y, w, h);
            if (deblurType <= DeblurRL80)
                mMethods.lucyRichard(in, out, channel, radius, iterations, angle, x, y, w, h);
            else
                mMethods.lucyRichardThreshold(in, out, channel, radius, iterations, angle, x, y, w,
                                              h);
            break;
        }
        case DeblurLA1: case DeblurLA2: {
            const double tolerance = deblurType == DeblurLA1 ? kToleranceLA1 : kToleranceLA2;
            printf("Solving using sllsbox for channel %d radius %.1f tolerance: %f\n", channel,
                   radius, tolerance);
            mMethods.sllsbox(in, out, channel, radius, tolerance, 0, angle, x, y, w, h, nullptr,
                             full ? &mStopDeblur : &mStopPreview);
            break;
        }
        case DeblurFR:
            mMethods.fitRefocus(in, out, channel, radius, angle, x, y, w, h);
            break;
        case DeblurBlurSimulation:
            printf("Convolving for channel %d radius %.1f angle %d [%d %d %d %d]\n", channel,
                   radius, angle, x, y, w, h);
            mMethods.convolve(in, out, channel, radius, angle, x, y, w, h);
            break;
        default:
            printf("bad deblur type\n");
            break;
    }
    return true;
}

bool Session::deblurStep(int radiusStep, DeblurType deblurType, int angle, float maskRadius,
                         int maskType, float maskOpacity, float maskCrudeness,
                         PixelPackRef& result) {
    const int width = mOriginalImage->width(), height = mOriginalImage->height();
    CImage destination(width, height);
    for (int channel = 1; channel <= 3; ++channel)
        if (!deblurStepForChannel(radiusStep, deblurType, &destination, channel, angle, true, 0,
                                  0, width, height))
            return false;
    if (mStopDeblur) return true;

    CreateMask(mOriginalImage->asImage(), destination.asImage(), 0, 0, width, height, maskType, 0,
               maskRadius, maskOpacity, maskCrudeness);
    if (mStopDeblur) return true;

    result = PixelPack::pack(*destination.asImage());
    return true;
}

void Session::deblurStep(int radiusStep, DeblurType deblurType, int angle, float maskRadius,
                         int maskType, float maskOpacity, float maskCrudeness) {
    // The counter is raised before the flag is read (both sequentially consistent), so a reset
    // either sees this task running or this task sees the reset's stop.
    mRunningDeblurs.fetch_add(1);
    bool loaded = false;
    if (!mStopDeblur) {
        // A task that starts after its session was emptied finds no original and ends quietly.
        std::lock_guard<Lock> guard(mLock);
        loaded = mOriginalImage != nullptr;
    }
    if (loaded) {
        // Refused rather than killed by the kernel with the user's unsaved work.
        std::string tooLarge;
        if (!fullDeblurFitsInMemory(radiusStep, deblurType, tooLarge)) {
            printf("%s\n", tooLarge.c_str());
            loaded = false;
        }
    }
    if (loaded) {
        const DeblurredEntry entry{deblurType, radiusStep, angle,
                                   MaskSettings{maskType, maskRadius, maskOpacity, maskCrudeness}};
        if (!mStopDeblur) sendEvent(DeblurStarted, entry);

        PixelPackRef result;
        if (!deblurStep(radiusStep, deblurType, angle, maskRadius, maskType, maskOpacity,
                        maskCrudeness, result)) {
            // Nothing is stored; the owner learns that this deblur ended without a result.
            if (!mStopDeblur) sendEvent(DeblurFailed, entry);
            mRunningDeblurs.fetch_sub(1);
            return;
        }
        PixelPackRef previous;  // released outside the lock
        if (result) {
            std::lock_guard<Lock> guard(mLock);
            auto& slot = mDeblurredImages[entry];
            previous = std::move(slot);
            slot = std::move(result);
        }
        if (!mStopDeblur) sendEvent(DeblurFinished, entry);
    }
    mRunningDeblurs.fetch_sub(1);
}

ImageRef Session::deblurredImage(const DeblurredEntry& entry) {
    PixelPackRef packed;
    {
        std::lock_guard<Lock> guard(mLock);
        auto it = mDeblurredImages.find(entry);
        if (it == mDeblurredImages.end()) return nullptr;
        packed = it->second;
    }
    return packed->unpack();
}

std::int64_t Session::memoryUsageForDeblurType(int radiusStep, DeblurType deblurType, int width,
                                               int height) {
    CImage scratch(width, height);
    // Without a photograph the estimate reads the input's size from the scratch image.
    const CImage& in = mOriginalImage ? *mOriginalImage : scratch;
    const double radius = radiusStep * 0.5;
    const int angle = -1, channel = 0;
    switch (deblurType) {
        case DeblurUSM1: case DeblurUSM2: case DeblurUSM3: case DeblurUSM4: case DeblurUSM5:
            return mMethods.unsharpMaskMemUsage(in, scratch, 1, channel, radius,
                                                double(deblurType - DeblurUSM1 + 1), angle, 0, 0,
                                                width, height);
        case DeblurUSMF1: case DeblurUSMF2: case DeblurUSMF3: case DeblurUSMF4: case DeblurUSMF5:
            return mMethods.unsharpMaskMemUsage(in, scratch, 0, channel, radius,
                                                double(deblurType - DeblurUSMF1 + 1), angle, 0, 0,
                                                width, height);
        case DeblurWF2: case DeblurWF3:
            return mMethods.wienerFirMemUsage(in, scratch, channel, radius, int(2 * radius), 0.0,
                                              deblurType == DeblurWF2 ? kNoiseWF2 : kNoiseWF3,
                                              angle, 0, 0, width, height);
        case DeblurWI2: case DeblurWI3:
            return mMethods.wienerIirMemUsage(in, scratch, channel, radius,
                                              deblurType == DeblurWI2 ? kNoiseWF2 : kNoiseWF3,
                                              angle, 0, 0, width, height);
        case DeblurRL20: case DeblurRL40: case DeblurRL80:
            return mMethods.lucyRichardMemUsage(in, scratch, channel, radius,
                                                richardsonLucyIterations(deblurType), angle, 0, 0,
                                                width, height);
        case DeblurRT20: case DeblurRT40: case DeblurRT80:
            return mMethods.lucyRichardThresholdMemUsage(in, scratch, channel, radius,
                                                         richardsonLucyIterations(deblurType),
                                                         angle, 0, 0, width, height);
        case DeblurLA1: case DeblurLA2:
            return mMethods.sllsboxMemUsage(in, scratch, channel, radius, kToleranceEstimate, 0,
                                            angle, 0, 0, width, height, nullptr);
        case DeblurFR:
            return mMethods.fitRefocusMemUsage(in, scratch, channel, radius, angle, 0, 0, width,
                                               height);
        case DeblurBlurSimulation:
            return mMethods.convolveMemUsage(in, scratch, channel, radius, angle, 0, 0, width,
                                             height);
        default:
            printf("bad deblur type in memoryUsageForDeblurType\n");
            return 0;
    }
}

std::int64_t Session::memoryUsageForDeblurType(int radiusStep, DeblurType deblurType) {
    VK_CHECK(mOriginalImage);
    return memoryUsageForDeblurType(radiusStep, deblurType, mOriginalImage->width(),
                                    mOriginalImage->height());
}
