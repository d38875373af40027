#include "Session.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "ImageIO.h"

namespace {

// Waits on the owner's thread are plain polling, so that nothing a worker does ever blocks on them.
void pollUntil(const std::atomic<int>& a, const std::atomic<int>& b) {
    while (a.load() != 0 || b.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

Session::Session() : mPreviewQueue(std::make_unique<SerialQueue>("preview")) {}

Session::~Session() {
    reset();
    // The queue may still hold the blocks of stopPreview(); they touch the flags and the lock, so
    // it goes before anything else.
    mPreviewQueue.reset();
}

void Session::sendEvent(SessionEventType type, const DeblurredEntry& entry) {
    if (mCallback) mCallback(this, SessionEvent{type, entry}, mCallbackContext);
}

void Session::freeImages() {
    {
        // Workers check for the original under the lock before they read it.
        std::lock_guard<Lock> guard(mLock);
        mOriginalImage.reset();
    }
    mReconstructedImage.reset();
    mBrushWeights.reset();
    mBrushBase.reset();
}

void Session::stopAndWaitForPreviews() {
    {
        std::lock_guard<Lock> guard(mLock);
        ++mPreviewClears;
        mStopPreview = true;
    }
    pollUntil(mPreviewBatches, mRunningPreviews);
    // The last finishing step may still be inside its signal.
    std::lock_guard<std::mutex> guard(mPreviewSlotMutex);
}

void Session::reset() {
    // Both kinds of worker read the original: stop and wait for all of them before anything they
    // read is freed.
    mStopDeblur = true;
    while (mRunningDeblurs.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stopAndWaitForPreviews();

    freeImages();

    DeblurredCache images, previews;  // released outside the lock
    {
        std::lock_guard<Lock> guard(mLock);
        images.swap(mDeblurredImages);
        previews.swap(mDeblurredPreviews);
        mStopDeblur = false;
        --mPreviewClears;
        mStopPreview = false;
    }
}

void Session::clearPreviews() {
    stopAndWaitForPreviews();
    DeblurredCache previews;
    {
        std::lock_guard<Lock> guard(mLock);
        previews.swap(mDeblurredPreviews);
        --mPreviewClears;
        mStopPreview = false;
    }
}

void Session::stopPreview() {
    mStopPreview = true;
    // Requests queued before this block are cancelled; those queued after it run. A clearing in
    // progress keeps the flag set until it has finished waiting.
    mPreviewQueue->async([this] {
        std::lock_guard<Lock> guard(mLock);
        if (mPreviewClears == 0) mStopPreview = false;
    });
}

bool Session::loadImage(const std::string& path) {
    reset();

    ImageRef image = ImageIO::sharedInstance().readFromFile(path);
    if (!image) return false;

    {
        std::lock_guard<Lock> guard(mLock);
        mOriginalImage = std::make_unique<CImage>(image);
    }
    sendEvent(OriginalLoaded, EmptyDeblurredEntry());

    mReconstructedImage =
        std::make_unique<CImage>(mOriginalImage->width(), mOriginalImage->height());
    mReconstructedImage->copyFrom(*mOriginalImage);
    sendEvent(ReconstructedLoaded, EmptyDeblurredEntry());
    return true;
}
