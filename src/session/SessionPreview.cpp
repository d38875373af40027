// Preview scheduling: requests ordered on the serial "preview" queue, at most three steps
// computing at once on the global queue, each with its three channels in parallel.

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "Check.h"
#include "ImageProcess.h"
#include "Session.h"

namespace {

constexpr int kMaxRunningPreviews = 3;

DeblurredEntry previewEntry(DeblurType deblurType, int radiusStep, int angle) {
    return DeblurredEntry{deblurType, radiusStep, angle, MaskSettings{}};
}

// The section truncated to whole pixels and moved and shrunk to lie inside a W × H image, at
// least one pixel wide and high.
Region clampSection(const Rect& r, int W, int H) {
    int x = int(r.x), y = int(r.y);
    if (x < 0)
        x = 0;
    if (y < 0)
        y = 0;
    if (x >= W)
        x = W - 1;
    if (y >= H)
        y = H - 1;
    int w = int(r.width), h = int(r.height);
    if (w <= 0)
        w = 1;
    if (h <= 0)
        h = 1;
    if (x + w >= W)
        w = W - x;
    if (y + h >= H)
        h = H - y;
    return Region{x, y, w, h};
}

}  // namespace

Rect PreviewSectionAroundPoint(double px, double py, int W, int H) {
    int x = int(px - 256), y = int(py - 256);
    if (W - x <= 511)
        x = W - 512;
    if (H - y <= 511)
        y = H - 512;
    x = std::max(x, 0);
    y = std::max(y, 0);
    return Rect{double(x), double(y), W > 511 ? 512.0 : double(W), H > 511 ? 512.0 : double(H)};
}

void Session::queuePreviewBatch(const std::function<void()>& queueSteps) {
    changeCount(mPreviewBatches, 1);
    queueSteps();
    mPreviewQueue->async([this] { changeCount(mPreviewBatches, -1); });
}

void Session::deblurPreviewAngleUpToStep(int radiusMaxStep, DeblurType deblurType, int angle,
                                         const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusMaxStep > 0);
    queuePreviewBatch([&] {
        for (int step = 1; step <= radiusMaxStep; ++step)
            mPreviewQueue->async(
                [=, this] { queueDeblurPreviewStep(step, deblurType, angle, section); });
    });
}

void Session::deblurPreviewAngleStep(int radiusStep, DeblurType deblurType, int angle,
                                     const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusStep > 0);
    queuePreviewBatch([&] {
        mPreviewQueue->async(
            [=, this] { queueDeblurPreviewStep(radiusStep, deblurType, angle, section); });
    });
}

void Session::deblurPreviewUpToStep(int radiusMaxStep, DeblurType deblurType, const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusMaxStep > 0);
    queuePreviewBatch([&] {
        for (int step = 1; step <= radiusMaxStep; ++step)
            for (int angle = 0; angle < 180; angle += 10)
                mPreviewQueue->async(
                    [=, this] { queueDeblurPreviewStep(step, deblurType, angle, section); });
    });
}

void Session::queueDeblurPreviewStep(int radiusStep, DeblurType deblurType, int angle,
                                     const Rect& section) {
    const DeblurredEntry entry = previewEntry(deblurType, radiusStep, angle);
    // The queue hands out no new step while three are computing; a finishing step, a stop or a
    // clearing wakes it.
    bool stopped;
    {
        std::unique_lock<std::mutex> guard(mWorkMutex);
        mWorkChanged.wait(guard, [this] {
            return mRunningPreviews < kMaxRunningPreviews || mStopPreview.load();
        });
        stopped = mStopPreview.load();
        if (!stopped)
            ++mRunningPreviews;
    }
    if (stopped) {
        sendEvent(SessionEventType::PreviewCancelled, entry);
        return;
    }
    dispatchAsync(DispatchPriority::Default,
                  [=, this] { deblurPreviewStep(radiusStep, deblurType, angle, section); });
}

void Session::deblurPreviewStep(int radiusStep, DeblurType deblurType, int angle,
                                const Rect& section) {
    const DeblurredEntry entry = previewEntry(deblurType, radiusStep, angle);
    if (mStopPreview) {
        sendEvent(SessionEventType::PreviewCancelled, entry);
    } else if (!deblurredPreviewIsDone(entry)) {
        sendEvent(SessionEventType::PreviewStarted, entry);

        const Region region =
            clampSection(section, mOriginalImage->width(), mOriginalImage->height());
        {
            std::lock_guard<Lock> guard(mLock);
            mPreviewSection = region;
        }
        CImage destination(region.w, region.h);
        dispatchApply(3, DispatchPriority::Default, [&](std::size_t i) {
            deblurStepForChannel(radiusStep, deblurType, &destination, int(i) + 1, angle,
                                 &mStopPreview, nullptr, region);
        });
        PixelPackRef packed = PixelPack::pack(*destination.asImage());

        PixelPackRef previous;  // released outside the lock
        {
            std::lock_guard<Lock> guard(mLock);
            auto& slot = mDeblurredPreviews[entry];
            previous = std::move(slot);
            slot = std::move(packed);
        }
        sendEvent(SessionEventType::PreviewFinished, entry);
    }
    // The last touch of the session.
    changeCount(mRunningPreviews, -1);
}

std::size_t Session::previewCount() {
    std::lock_guard<Lock> guard(mLock);
    return mDeblurredPreviews.size();
}

bool Session::deblurredPreviewIsDone(const DeblurredEntry& entry) {
    std::lock_guard<Lock> guard(mLock);
    return mDeblurredPreviews.count(entry) != 0;
}

ImageRef Session::deblurredPreview(const DeblurredEntry& entry, float maskRadius, int maskType,
                                   float maskOpacity, float maskCrudeness) {
    PixelPackRef packed;
    Region section;
    {
        std::lock_guard<Lock> guard(mLock);
        auto it = mDeblurredPreviews.find(entry);
        if (it == mDeblurredPreviews.end())
            return nullptr;
        packed = it->second;
        section = mPreviewSection;
    }
    ImageRef preview = packed->unpack();
    // A preview computed on another section than the last one cannot be matched to the original.
    if (preview && mOriginalImage && preview->width() == section.w &&
        preview->height() == section.h)
        CreateMask(mOriginalImage->asImage(), preview, section.x, section.y, section.w, section.h,
                   maskType, 1, maskRadius, maskOpacity, maskCrudeness);
    return preview;
}
