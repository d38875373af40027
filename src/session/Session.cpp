#include "Session.h"

#include <mutex>
#include <utility>

#include "ImageIO.h"

namespace velkaro {

Session::Session() : mPreviewQueue(std::make_unique<SerialQueue>("preview")) {}

Session::~Session() {
    reset();
    // The queue may still hold the blocks of stopPreview(); they touch the flags and the counters,
    // so it goes before anything else.
    mPreviewQueue.reset();
}

void Session::sendEvent(SessionEventType type, const DeblurredEntry& entry) {
    sendEvent(SessionEvent{type, entry});
}

void Session::sendEvent(const SessionEvent& event) {
    if (mHandler)
        mHandler(event);
}

void Session::changeCount(int& counter, int delta) {
    // The waiter that sees the change may destroy the session as soon as the mutex is free: the
    // notification happens while it is held, so nothing touches the session after the unlock.
    std::lock_guard<std::mutex> guard(mWorkMutex);
    counter += delta;
    mWorkChanged.notify_all();
}

Session::WorkCounts Session::workCounts() {
    std::lock_guard<std::mutex> guard(mWorkMutex);
    return WorkCounts{mPendingDeblurs, mPreviewBatches, mRunningPreviews};
}

bool Session::isIdle() {
    std::lock_guard<std::mutex> guard(mWorkMutex);
    return mPendingDeblurs == 0 && mPreviewBatches == 0 && mRunningPreviews == 0;
}

bool Session::previewsAreIdle() {
    std::lock_guard<std::mutex> guard(mWorkMutex);
    return mPreviewBatches == 0 && mRunningPreviews == 0;
}

void Session::waitUntilIdle() {
    std::unique_lock<std::mutex> guard(mWorkMutex);
    mWorkChanged.wait(guard, [this] {
        return mPendingDeblurs == 0 && mPreviewBatches == 0 && mRunningPreviews == 0;
    });
}

void Session::freeImages() {
    {
        // Workers check for the original under the lock before they read it.
        std::lock_guard<Lock> guard(mLock);
        mOriginalImage.reset();
    }
    {
        std::lock_guard<std::mutex> guard(mLuminanceMutex);
        mLuminance = CImage();
    }
    mReconstructedImage.reset();
    mBrushWeights.reset();
    mBrushBase.reset();
}

void Session::stopAndWaitForPreviews() {
    std::unique_lock<std::mutex> guard(mWorkMutex);
    ++mPreviewClears;
    ++mPreviewStops;
    mStopPreview = true;
    mBackgroundCells.clear();
    // Wakes the preview queue if it is waiting for a free slot.
    mWorkChanged.notify_all();
    mWorkChanged.wait(guard, [this] { return mPreviewBatches == 0 && mRunningPreviews == 0; });
}

void Session::endPreviewClear() {
    std::lock_guard<std::mutex> guard(mWorkMutex);
    if (--mPreviewClears == 0)
        mStopPreview = false;
}

void Session::reset() {
    // Both kinds of worker read the original: stop and wait for all of them before anything they
    // read is freed. Deblurs submitted and not yet started see the new epoch and end at once.
    {
        std::unique_lock<std::mutex> guard(mWorkMutex);
        ++mDeblurEpoch;
        mStopDeblur = true;
        for (auto& [id, job] : mDeblurJobs) job->stop = true;
        mWorkChanged.wait(guard, [this] { return mPendingDeblurs == 0; });
    }
    stopAndWaitForPreviews();

    freeImages();

    DeblurredCache images, previews;  // released outside the lock
    ImageRef newest;
    ScoreBasisCache scoreCache;
    {
        std::lock_guard<Lock> guard(mLock);
        images.swap(mDeblurredImages);
        newest.swap(mNewestImage);
        previews.swap(mDeblurredPreviews);
        mPreviewScores.clear();
        std::swap(scoreCache, mScoreCache);
    }
    mStopDeblur = false;
    endPreviewClear();
}

void Session::clearPreviews() {
    stopAndWaitForPreviews();
    DeblurredCache previews;  // released outside the lock
    ScoreBasisCache scoreCache;
    {
        std::lock_guard<Lock> guard(mLock);
        previews.swap(mDeblurredPreviews);
        mPreviewScores.clear();
        std::swap(scoreCache, mScoreCache);
    }
    endPreviewClear();
}

void Session::stopPreview() {
    {
        std::lock_guard<std::mutex> guard(mWorkMutex);
        ++mPreviewStops;
        mStopPreview = true;
        mBackgroundCells.clear();
        mWorkChanged.notify_all();
    }
    // Requests queued before this block are cancelled; those queued after it run. A clearing in
    // progress keeps the flag set until it has finished waiting.
    mPreviewQueue->async([this] {
        std::lock_guard<std::mutex> guard(mWorkMutex);
        if (mPreviewClears == 0)
            mStopPreview = false;
    });
}

bool Session::loadImage(const std::string& path, ReadFailure* failure) {
    reset();
    std::string format;
    ReadFailure ignored;
    ImageRef image =
        ImageIO::sharedInstance().readFromFile(path, format, failure ? *failure : ignored);
    if (!image)
        return false;
    loadDecodedImage(image);
    return true;
}

void Session::loadDecodedImage(const ImageRef& image) {
    if (mOriginalImage)
        reset();
    {
        std::lock_guard<Lock> guard(mLock);
        mOriginalImage = std::make_unique<CImage>(image);
    }
    sendEvent(SessionEventType::OriginalLoaded, EmptyDeblurredEntry());

    mReconstructedImage = std::make_unique<CImage>(image->copy());
    sendEvent(SessionEventType::ReconstructedLoaded, EmptyDeblurredEntry());
}

}  // namespace velkaro
