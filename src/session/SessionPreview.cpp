// Preview scheduling: requests ordered on the serial "preview" queue, at most three steps
// computing at once on the global queue, each with its three channels in parallel.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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
void clampSection(int section[4], const Rect& r, int W, int H) {
    int x = int(r.x), y = int(r.y);
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    if (x >= W) x = W - 1;
    if (y >= H) y = H - 1;
    int w = int(r.width), h = int(r.height);
    if (w <= 0) w = 1;
    if (h <= 0) h = 1;
    if (x + w >= W) w = W - x;
    if (y + h >= H) h = H - y;
    section[0] = x;
    section[1] = y;
    section[2] = w;
    section[3] = h;
}

}  // namespace

Rect PreviewSectionAroundPoint(double px, double py, int W, int H) {
    int x = int(px - 256), y = int(py - 256);
    if (W - x <= 511) x = W - 512;
    if (H - y <= 511) y = H - 512;
    x = std::max(x, 0);
    y = std::max(y, 0);
    return Rect{double(x), double(y), W > 511 ? 512.0 : double(W), H > 511 ? 512.0 : double(H)};
}

void Session::deblurPreviewAngleUpToStep(int radiusMaxStep, DeblurType deblurType, int angle,
                                         const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusMaxStep > 0);
    mPreviewBatches.fetch_add(1);
    for (int step = 1; step <= radiusMaxStep; ++step)
        mPreviewQueue->async(
            [=, this] { queueDeblurPreviewStep(step, deblurType, angle, section); });
    mPreviewQueue->async([this] { mPreviewBatches.fetch_sub(1); });
}

void Session::deblurPreviewAngleStep(int radiusStep, DeblurType deblurType, int angle,
                                     const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusStep > 0);
    mPreviewBatches.fetch_add(1);
    mPreviewQueue->async(
        [=, this] { queueDeblurPreviewStep(radiusStep, deblurType, angle, section); });
    mPreviewQueue->async([this] { mPreviewBatches.fetch_sub(1); });
}

void Session::deblurPreviewUpToStep(int radiusMaxStep, DeblurType deblurType,
                                    const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusMaxStep > 0);
    mPreviewBatches.fetch_add(1);
    for (int step = 1; step <= radiusMaxStep; ++step)
        for (int angle = 0; angle < 180; angle += 10)
            mPreviewQueue->async(
                [=, this] { queueDeblurPreviewStep(step, deblurType, angle, section); });
    mPreviewQueue->async([this] { mPreviewBatches.fetch_sub(1); });
}

void Session::queueDeblurPreviewStep(int radiusStep, DeblurType deblurType, int angle,
                                     const Rect& section) {
    const DeblurredEntry entry = previewEntry(deblurType, radiusStep, angle);
    if (mStopPreview) {
        sendEvent(PreviewCancelled, entry);
        return;
    }
    // The queue hands out no new step while three are computing. A finishing step signals; the
    // look every 100 ms is only a safety net.
    {
        std::unique_lock<std::mutex> guard(mPreviewSlotMutex);
        while (mRunningPreviews.load() >= kMaxRunningPreviews && !mStopPreview.load())
            mPreviewSlotFreed.wait_for(guard, std::chrono::milliseconds(100));
    }
    if (mStopPreview) {
        sendEvent(PreviewCancelled, entry);
        return;
    }
    mRunningPreviews.fetch_add(1);
    dispatchAsync(DispatchPriority::Default, [=, this] {
        deblurPreviewStep(radiusStep, deblurType, angle, section);
    });
}

void Session::deblurPreviewStep(int radiusStep, DeblurType deblurType, int angle,
                                const Rect& section) {
    const DeblurredEntry entry = previewEntry(deblurType, radiusStep, angle);
    if (mStopPreview) {
        sendEvent(PreviewCancelled, entry);
    } else if (!deblurredPreviewIsDone(entry)) {
        sendEvent(PreviewStarted, entry);

        int s[4];
        clampSection(s, section, mOriginalImage->width(), mOriginalImage->height());
        {
            std::lock_guard<Lock> guard(mLock);
            for (int i = 0; i < 4; ++i) mPreviewSection[i] = s[i];
        }
        CImage destination(s[2], s[3]);
        dispatchApply(3, DispatchPriority::Default, [&](std::size_t i) {
            deblurStepForChannel(radiusStep, deblurType, &destination, int(i) + 1, angle, false,
                                 s[0], s[1], s[2], s[3]);
        });
        PixelPackRef packed = PixelPack::pack(*destination.asImage());

        PixelPackRef previous;  // released outside the lock
        {
            std::lock_guard<Lock> guard(mLock);
            auto& slot = mDeblurredPreviews[entry];
            previous = std::move(slot);
            slot = std::move(packed);
        }
        sendEvent(PreviewFinished, entry);
    }
    // The last touch of the session: whoever waits for the counter then takes this mutex, so the
    // session cannot go away while the signal is being sent.
    std::lock_guard<std::mutex> guard(mPreviewSlotMutex);
    mRunningPreviews.fetch_sub(1);
    mPreviewSlotFreed.notify_one();
}

bool Session::deblurredPreviewIsDone(const DeblurredEntry& entry) {
    std::lock_guard<Lock> guard(mLock);
    return mDeblurredPreviews.count(entry) != 0;
}

ImageRef Session::deblurredPreview(const DeblurredEntry& entry, float maskRadius, int maskType,
                                   float maskOpacity, float maskCrudeness) {
    PixelPackRef packed;
    int section[4];
    {
        std::lock_guard<Lock> guard(mLock);
        auto it = mDeblurredPreviews.find(entry);
        if (it == mDeblurredPreviews.end()) return nullptr;
        packed = it->second;
        for (int i = 0; i < 4; ++i) section[i] = mPreviewSection[i];
    }
    ImageRef preview = packed->unpack();
    // A preview computed on another section than the last one cannot be matched to the original.
    if (preview && mOriginalImage && preview->width() == section[2] &&
        preview->height() == section[3])
        CreateMask(mOriginalImage->asImage(), preview, section[0], section[1], section[2],
                   section[3], maskType, 1, maskRadius, maskOpacity, maskCrudeness);
    return preview;
}
