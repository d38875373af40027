// Full deblurs, the per-channel dispatch shared with the previews, and the full-result cache.

#include <cstdio>
#include <mutex>

#include "Check.h"
#include "ImageProcess.h"
#include "Log.h"
#include "Session.h"

bool Session::deblurStepForChannel(int radiusStep, DeblurType deblurType, CImage* destination,
                                   int channel, int angle, bool full, const Region& region) {
    if (full && mStopDeblur.load(std::memory_order_relaxed))
        return true;
    const double radius = radiusStep * 0.5;
    LogInfo("%sblurring with radius %.2f\n", deblurType == DeblurBlurSimulation ? "" : "de",
            radius);
    const Preset& preset = PresetFor(deblurType);
    return mMethods[preset.method].run(MethodCall{*mOriginalImage, *destination, channel, radius,
                                                  preset.parameter, angle, region,
                                                  full ? &mStopDeblur : &mStopPreview});
}

bool Session::deblurStep(const DeblurredEntry& entry, PixelPackRef& result) {
    const int width = mOriginalImage->width(), height = mOriginalImage->height();
    CImage destination(width, height);
    for (int channel = 1; channel <= 3; ++channel)
        if (!deblurStepForChannel(entry.radiusStep, entry.deblurType, &destination, channel,
                                  entry.angle, true, Region{0, 0, width, height}))
            return false;
    if (mStopDeblur)
        return true;

    const MaskSettings& mask = entry.maskSettings;
    CreateMask(mOriginalImage->asImage(), destination.asImage(), 0, 0, width, height, mask.type, 0,
               mask.radius, mask.opacity, mask.crudeness);
    if (mStopDeblur)
        return true;

    result = PixelPack::pack(*destination.asImage());
    return true;
}

void Session::submitDeblur(const DeblurredEntry& entry) {
    int epoch;
    {
        std::lock_guard<std::mutex> guard(mWorkMutex);
        ++mPendingDeblurs;
        epoch = mDeblurEpoch;
    }
    dispatchAsync(DispatchPriority::Default, [this, entry, epoch] {
        bool current;
        {
            std::lock_guard<std::mutex> guard(mWorkMutex);
            current = epoch == mDeblurEpoch;
        }
        // A deblur of a photograph that has been closed since never touches the session.
        if (current)
            runDeblur(entry);
        changeCount(mPendingDeblurs, -1);
    });
}

void Session::deblur(const DeblurredEntry& entry) {
    // Counted before the stop flag is read, so that a reset either waits for this deblur or this
    // deblur sees the reset's stop.
    changeCount(mPendingDeblurs, 1);
    runDeblur(entry);
    changeCount(mPendingDeblurs, -1);
}

void Session::runDeblur(const DeblurredEntry& entry) {
    bool loaded = false;
    if (!mStopDeblur) {
        // A deblur that starts after its session was emptied finds no original and ends quietly.
        std::lock_guard<Lock> guard(mLock);
        loaded = mOriginalImage != nullptr;
    }
    if (!loaded)
        return;
    // Refused rather than killed by the kernel with the user's unsaved work.
    std::string tooLarge;
    if (!fullDeblurFitsInMemory(entry.radiusStep, entry.deblurType, tooLarge)) {
        LogInfo("%s\n", tooLarge.c_str());
        return;
    }
    if (!mStopDeblur)
        sendEvent(SessionEventType::DeblurStarted, entry);

    PixelPackRef result;
    if (!deblurStep(entry, result)) {
        // Nothing is stored; the owner learns that this deblur ended without a result.
        if (!mStopDeblur)
            sendEvent(SessionEventType::DeblurFailed, entry);
        return;
    }
    PixelPackRef previous;  // released outside the lock
    if (result) {
        std::lock_guard<Lock> guard(mLock);
        auto& slot = mDeblurredImages[entry];
        previous = std::move(slot);
        slot = std::move(result);
    }
    if (!mStopDeblur)
        sendEvent(SessionEventType::DeblurFinished, entry);
}

ImageRef Session::deblurredImage(const DeblurredEntry& entry) {
    PixelPackRef packed;
    {
        std::lock_guard<Lock> guard(mLock);
        auto it = mDeblurredImages.find(entry);
        if (it == mDeblurredImages.end())
            return nullptr;
        packed = it->second;
    }
    return packed->unpack();
}

std::int64_t Session::memoryUsageForDeblurType(int radiusStep, DeblurType deblurType, int width,
                                               int height) {
    CImage scratch(width, height);
    // Without a photograph the estimate reads the input's size from the scratch image.
    const CImage& in = mOriginalImage ? *mOriginalImage : scratch;
    const Preset& preset = PresetFor(deblurType);
    return mMethods[preset.method].memoryUsage(MethodCall{in, scratch, 0, radiusStep * 0.5,
                                                          preset.parameter, -1,
                                                          Region{0, 0, width, height}, nullptr});
}

std::int64_t Session::memoryUsageForDeblurType(int radiusStep, DeblurType deblurType) {
    VK_CHECK(mOriginalImage);
    return memoryUsageForDeblurType(radiusStep, deblurType, mOriginalImage->width(),
                                    mOriginalImage->height());
}
