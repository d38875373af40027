// Full deblurs, the per-channel dispatch shared with the previews, and the full-result cache.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>

#include "BrightnessOnly.h"
#include "Check.h"
#include "ImageProcess.h"
#include "Log.h"
#include "Session.h"

namespace velkaro {

namespace {

// Progress reports of one full deblur are passed on at most this often (a new channel always).
constexpr std::int64_t kProgressIntervalMs = 200;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool Session::deblurStepForChannel(int radiusStep, DeblurType deblurType, CImage* destination,
                                   int channel, const BlurKernel& kernel,
                                   const std::atomic<bool>* stop, const MethodProgress* progress,
                                   const Region& region, const IterationSnapshots* snapshots) {
    if (progress && StopRequested(stop))
        return true;
    const double radius = radiusStep * 0.5;
    LogInfo("%sblurring with radius %.2f\n", deblurType == DeblurBlurSimulation ? "" : "de",
            radius);
    const Preset& preset = PresetFor(deblurType);
    return mMethods[preset.method].run(MethodCall{*mOriginalImage, *destination, channel, radius,
                                                  preset.parameter, kernel, region, stop, progress,
                                                  snapshots});
}

bool Session::deblurStepForLuminance(int radiusStep, DeblurType deblurType, CImage* destination,
                                     const BlurKernel& kernel, const std::atomic<bool>* stop,
                                     const MethodProgress* progress, const Region& region,
                                     const IterationSnapshots* snapshots) {
    if (progress && StopRequested(stop))
        return true;
    const CImage luminance = luminancePicture();
    const Preset& preset = PresetFor(deblurType);
    if (!mMethods[preset.method].run(MethodCall{luminance, *destination, 1, radiusStep * 0.5,
                                                preset.parameter, kernel, region, stop, progress,
                                                snapshots}))
        return false;
    if (!StopRequested(stop)) {
        RecolourFromLuminance(*mOriginalImage, luminance, region, *destination);
        for (const IterationSnapshot& s : snapshots ? *snapshots : IterationSnapshots{})
            RecolourFromLuminance(*mOriginalImage, luminance, region, *s.out);
    }
    return true;
}

CImage Session::luminancePicture() {
    std::lock_guard<std::mutex> guard(mLuminanceMutex);
    if (!mLuminance.pixels())
        mLuminance = LuminancePicture(*mOriginalImage);
    return mLuminance;
}

void Session::reportDeblurProgress(DeblurJob& job, int channel, const MethodProgressStep& step) {
    if (job.stop || mStopDeblur)
        return;
    const int channels = job.entry.brightnessOnly ? 1 : 3;
    job.fraction = std::max(job.fraction, (channel - 1 + step.fraction) / channels);
    const std::int64_t now = nowMs();
    if (channel == job.channel && now - job.sentAtMs < kProgressIntervalMs)
        return;
    job.channel = channel;
    job.sentAtMs = now;
    SessionEvent event{
        SessionEventType::DeblurProgress, job.entry, job.id,
        DeblurProgressReport{job.fraction, channel, step.iteration, step.iterations}};
    sendEvent(event);
}

bool Session::deblurStep(DeblurJob& job, ImageRef& result) {
    const DeblurredEntry& entry = job.entry;
    const int width = mOriginalImage->width(), height = mOriginalImage->height();
    CImage destination(width, height, mOriginalImage->depth());
    const Region whole{0, 0, width, height};
    if (entry.brightnessOnly) {
        const MethodProgress progress = [this, &job](const MethodProgressStep& step) {
            reportDeblurProgress(job, 1, step);
        };
        reportDeblurProgress(job, 1, MethodProgressStep{});
        if (!deblurStepForLuminance(entry.radiusStep, entry.deblurType, &destination,
                                    entry.blurKernel(), &job.stop, &progress, whole))
            return false;
    }
    for (int channel = 1; channel <= 3 && !entry.brightnessOnly; ++channel) {
        const MethodProgress progress = [this, &job, channel](const MethodProgressStep& step) {
            reportDeblurProgress(job, channel, step);
        };
        reportDeblurProgress(job, channel, MethodProgressStep{});
        if (!deblurStepForChannel(entry.radiusStep, entry.deblurType, &destination, channel,
                                  entry.blurKernel(), &job.stop, &progress, whole))
            return false;
    }
    if (job.stop)
        return true;

    const MaskSettings& mask = entry.maskSettings;
    CreateMask(mOriginalImage->asImage(), destination.asImage(), 0, 0, width, height, mask.type, 0,
               mask.radius, mask.opacity, mask.crudeness);
    if (job.stop)
        return true;

    result = destination.asImage();
    return true;
}

void Session::storeDeblurred(const DeblurredEntry& entry, const ImageRef& result) {
    std::lock_guard<std::mutex> storing(mStoreMutex);
    DeblurredEntry olderEntry;
    ImageRef older;
    {
        std::lock_guard<Lock> guard(mLock);
        olderEntry = mNewestEntry;
        older = mNewestImage;
    }
    // Packed while it is still fetchable as the newest; a result of the same entry replaces it.
    PixelPackRef packed;
    if (older && !SameDeblurredEntry(olderEntry, entry))
        packed = PixelPack::pack(*older);
    PixelPackRef previous;  // released outside the lock
    {
        std::lock_guard<Lock> guard(mLock);
        if (packed)
            mDeblurredImages[olderEntry] = std::move(packed);
        auto stale = mDeblurredImages.find(entry);
        if (stale != mDeblurredImages.end()) {
            previous = std::move(stale->second);
            mDeblurredImages.erase(stale);
        }
        // `older` keeps the image it replaces until after the lock is released.
        mNewestEntry = entry;
        mNewestImage = result;
    }
}

Session::DeblurJobRef Session::newDeblurJob(const DeblurredEntry& entry) {
    auto job = std::make_shared<DeblurJob>();
    job->entry = entry;
    std::lock_guard<std::mutex> guard(mWorkMutex);
    job->id = ++mLastDeblurId;
    mDeblurJobs[job->id] = job;
    ++mPendingDeblurs;
    return job;
}

bool Session::endDeblurJob(DeblurJob& job) {
    std::lock_guard<std::mutex> guard(mWorkMutex);
    mDeblurJobs.erase(job.id);
    return job.cancelled;
}

DeblurId Session::submitDeblur(const DeblurredEntry& entry) {
    DeblurJobRef job = newDeblurJob(entry);
    int epoch;
    {
        std::lock_guard<std::mutex> guard(mWorkMutex);
        epoch = mDeblurEpoch;
    }
    dispatchAsync(DispatchPriority::Default, [this, job, epoch] {
        bool run;
        {
            std::lock_guard<std::mutex> guard(mWorkMutex);
            // A deblur cancelled while it waited has said so already.
            run = epoch == mDeblurEpoch && !job->cancelled;
            job->started = run;
        }
        // A deblur of a photograph that has been closed since never touches the session.
        if (run)
            runDeblur(*job);
        else
            endDeblurJob(*job);
        changeCount(mPendingDeblurs, -1);
    });
    return job->id;
}

bool Session::cancelDeblur(DeblurId id) {
    DeblurJobRef job;
    bool waiting;
    {
        std::lock_guard<std::mutex> guard(mWorkMutex);
        auto it = mDeblurJobs.find(id);
        if (it == mDeblurJobs.end() || it->second->cancelled)
            return false;
        job = it->second;
        job->cancelled = true;
        job->stop = true;
        waiting = !job->started;
    }
    if (waiting)
        sendEvent(SessionEvent{SessionEventType::DeblurCancelled, job->entry, job->id});
    return true;
}

void Session::deblur(const DeblurredEntry& entry) {
    // Counted before the stop flag is read, so that a reset either waits for this deblur or this
    // deblur sees the reset's stop.
    DeblurJobRef job = newDeblurJob(entry);
    {
        std::lock_guard<std::mutex> guard(mWorkMutex);
        job->started = true;
    }
    runDeblur(*job);
    changeCount(mPendingDeblurs, -1);
}

void Session::runDeblur(DeblurJob& job) {
    const DeblurredEntry& entry = job.entry;
    auto send = [&](SessionEventType type) {
        if (!mStopDeblur)
            sendEvent(SessionEvent{type, entry, job.id});
    };
    bool loaded = false;
    if (!mStopDeblur && !job.stop) {
        // A deblur that starts after its session was emptied finds no original and ends quietly.
        std::lock_guard<Lock> guard(mLock);
        loaded = mOriginalImage != nullptr;
    }
    std::string tooLarge;
    // Refused rather than killed by the kernel with the user's unsaved work.
    if (loaded && !fullDeblurFitsInMemory(entry, tooLarge)) {
        LogInfo("%s\n", tooLarge.c_str());
        loaded = false;
    }
    if (!loaded) {
        if (endDeblurJob(job))
            send(SessionEventType::DeblurCancelled);
        return;
    }
    send(SessionEventType::DeblurStarted);

    ImageRef result;
    bool computed = false;
    try {
        computed = deblurStep(job, result);
    } catch (const std::exception& e) {
        // The memory check is an estimate and other programs take memory too: a deblur that
        // finds none left (no memory, no thread) fails, and the photograph and its work stay.
        LogWarning("%s at radius %.1f stopped: %s\n", PresetLabel(entry.deblurType),
                   entry.radiusStep * 0.5, e.what());
        result.reset();
    }
    // From here on a cancel finds nothing to stop: the deblur ends one way or the other.
    if (endDeblurJob(job)) {
        send(SessionEventType::DeblurCancelled);
        return;
    }
    if (!computed) {
        // Nothing is stored; the owner learns that this deblur ended without a result.
        send(SessionEventType::DeblurFailed);
        return;
    }
    if (result)
        storeDeblurred(entry, result);
    send(SessionEventType::DeblurFinished);
}

bool Session::findDeblurred(const DeblurredEntry& entry, ImageRef& newest, PixelPackRef& packed) {
    std::lock_guard<Lock> guard(mLock);
    if (mNewestImage && SameDeblurredEntry(mNewestEntry, entry)) {
        newest = mNewestImage;
        return true;
    }
    auto it = mDeblurredImages.find(entry);
    if (it == mDeblurredImages.end())
        return false;
    packed = it->second;
    return true;
}

ImageRef Session::deblurredImage(const DeblurredEntry& entry) {
    ImageRef newest;
    PixelPackRef packed;
    if (!findDeblurred(entry, newest, packed))
        return nullptr;
    return newest ? newest->copy() : packed->unpack();
}

std::int64_t Session::memoryUsageForDeblurType(int radiusStep, DeblurType deblurType, int width,
                                               int height, bool brightnessOnly,
                                               const BlurKernel& kernel) {
    CImage scratch = CImage::sizeOnly(width, height);
    // Without a photograph the estimate reads the input's size from the scratch image.
    const CImage& in = mOriginalImage ? *mOriginalImage : scratch;
    const Preset& preset = PresetFor(deblurType);
    const std::int64_t method = mMethods[preset.method].memoryUsage(
        MethodCall{in, scratch, 0, radiusStep * 0.5, preset.parameter, kernel,
                   Region{0, 0, width, height}, nullptr});
    // The luminance picture, as large as the photograph, held beside the method's arrays.
    const std::int64_t luminance =
        brightnessOnly ? std::int64_t(in.width()) * in.height() * in.bytesPerPixel() : 0;
    // The methods count their input and output images at 4 bytes a pixel; at 16 bits a sample
    // both take twice that.
    const std::int64_t wider =
        std::int64_t(in.bytesPerPixel() - 4) *
        (std::int64_t(in.width()) * in.height() + std::int64_t(width) * height);
    return method + luminance + wider;
}

std::int64_t Session::memoryUsageForDeblurType(int radiusStep, DeblurType deblurType,
                                               bool brightnessOnly, const BlurKernel& kernel) {
    VK_CHECK(mOriginalImage);
    return memoryUsageForDeblurType(radiusStep, deblurType, mOriginalImage->width(),
                                    mOriginalImage->height(), brightnessOnly, kernel);
}

}  // namespace velkaro
