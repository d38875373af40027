#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "DeblurMethods.h"
#include "DeblurTypes.h"
#include "Dispatch.h"
#include "Image.h"
#include "Lock.h"
#include "PixelPack.h"

// Everything that belongs to the one photograph being worked on: the original, the composite the
// user builds (the reconstructed image), the caches of computed results (held as PixelPacks), the
// brush state, and the counters and flags that let work on other threads be stopped safely.
// Progress is reported through one callback.

class Session;
struct ImageWriteOptions;  // ImageIO.h

enum SessionEventType : int {
    DeblurStarted = 0,
    DeblurFinished = 1,
    PreviewStarted = 2,
    PreviewCancelled = 3,
    PreviewFinished = 4,
    OriginalLoaded = 5,
    ReconstructedLoaded = 6,
    DeblurFailed = 7,
};

struct SessionEvent {
    int eventType;  // a SessionEventType
    DeblurredEntry deblurredEntry;
};

// Event sink. Called on the thread that emits the event, never while the session's lock is held.
using SessionEventCallback = void (*)(Session* session, SessionEvent event, void* context);

using DeblurredCache = std::map<DeblurredEntry, PixelPackRef>;

// The preview section around a point (image pixels) of a W × H photograph: 512 × 512 pixels,
// centred on the point where possible, shifted inside the image, and the whole image when it is
// smaller.
Rect PreviewSectionAroundPoint(double px, double py, int W, int H);

class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // --- lifecycle (owner's thread) ---
    // Empties the session, then decodes the file; false (and an empty session) when it cannot be
    // decoded. Sends OriginalLoaded then ReconstructedLoaded before it returns.
    bool loadImage(const std::string& path);
    // Stops and waits for every worker, then frees the images, the brush state and both caches.
    void reset();

    // --- full deblurs ---
    // One channel (1 to 3) of the region x, y, w, h of the original into `destination` (w × h),
    // through the preset's method. `full` selects which stop flag applies. False when the method
    // failed (a message says why) and the channel was not written.
    bool deblurStepForChannel(int radiusStep, DeblurType deblurType, CImage* destination,
                              int channel, int angle, bool full, int x, int y, int w, int h);
    // Computing layer: the whole photograph, masked and packed into `result` (left null when
    // stopped). False when a channel's method failed.
    bool deblurStep(int radiusStep, DeblurType deblurType, int angle, float maskRadius,
                    int maskType, float maskOpacity, float maskCrudeness, PixelPackRef& result);
    // Task layer, run on a worker: DeblurStarted, compute, store, DeblurFinished; DeblurFailed
    // instead of storing when a method failed.
    void deblurStep(int radiusStep, DeblurType deblurType, int angle, float maskRadius,
                    int maskType, float maskOpacity, float maskCrudeness);
    // A new decoded copy of a stored full result, or null.
    ImageRef deblurredImage(const DeblurredEntry& entry);
    std::int64_t memoryUsageForDeblurType(int radiusStep, DeblurType deblurType, int width,
                                          int height);
    std::int64_t memoryUsageForDeblurType(int radiusStep, DeblurType deblurType);
    // False, with the message to show, when a full deblur of the least-squares presets would
    // need more memory than is available; the task layer refuses such a deblur (no events).
    bool fullDeblurFitsInMemory(int radiusStep, DeblurType deblurType, std::string& message);

    // --- previews ---
    void deblurPreviewAngleUpToStep(int radiusMaxStep, DeblurType deblurType, int angle,
                                    const Rect& section);
    void deblurPreviewAngleStep(int radiusStep, DeblurType deblurType, int angle,
                                const Rect& section);
    void deblurPreviewUpToStep(int radiusMaxStep, DeblurType deblurType, const Rect& section);
    void queueDeblurPreviewStep(int radiusStep, DeblurType deblurType, int angle,
                                const Rect& section);
    void deblurPreviewStep(int radiusStep, DeblurType deblurType, int angle, const Rect& section);
    bool deblurredPreviewIsDone(const DeblurredEntry& entry);
    // The stored preview with the mask applied (opacity -1: the mask itself), or null.
    ImageRef deblurredPreview(const DeblurredEntry& entry, float maskRadius, int maskType,
                              float maskOpacity, float maskCrudeness);
    void stopPreview();
    void clearPreviews();

    // --- brush and apply-all (owner's thread) ---
    void startBrush();
    void applyBrush(const Image* source, float size, float opacity, int x, int y,
                    Rect* changed);
    void endBrush();
    void applyAll(const ImageRef& source);
    void applyEffects() {}

    // --- saving (owner's thread) ---
    bool saveReconstructedImage(const std::string& path, const std::string& type, int quality);
    bool saveReconstructedImage(const std::string& path, const ImageWriteOptions& options);
    bool saveDeblurredImages(const std::string& directoryPath);

    // --- state (read by the owner; see the comments for who may touch what) ---
    std::unique_ptr<CImage> mOriginalImage;       // set under mLock, read freely by workers
    std::unique_ptr<CImage> mReconstructedImage;  // owner's thread only
    std::unique_ptr<float[]> mBrushWeights;       // owner's thread only
    std::unique_ptr<CImage> mBrushBase;           // owner's thread only
    int mBrushRect[4] = {-1, -1, -1, -1};         // min x, min y, end x, end y
    SessionEventCallback mCallback = nullptr;
    void* mCallbackContext = nullptr;
    Lock mLock;                                   // guards the two caches and mPreviewSection
    DeblurredCache mDeblurredImages;
    DeblurredCache mDeblurredPreviews;
    int mPreviewSection[4] = {0, 0, 0, 0};        // x, y, w, h of the last preview computed
    std::unique_ptr<SerialQueue> mPreviewQueue;
    std::atomic<bool> mStopDeblur{false};
    std::atomic<bool> mStopPreview{false};
    std::atomic<int> mRunningDeblurs{0};
    std::atomic<int> mRunningPreviews{0};
    std::atomic<int> mPreviewBatches{0};

    // The methods behind the presets. Always the real ones in the application; tests put
    // recording stand-ins here to watch the dispatch.
    DeblurMethods mMethods = DefaultDeblurMethods();
    // The bytes available for a full deblur; null reads them from the system (tests set it).
    std::int64_t (*mAvailableMemory)() = nullptr;

private:
    void sendEvent(SessionEventType type, const DeblurredEntry& entry);
    void freeImages();
    // Sets the stop-preview flag and waits until no preview request or step is left.
    void stopAndWaitForPreviews();
    // clearPreviews() calls in progress; while any is, the stop flag stays set (under mLock).
    int mPreviewClears = 0;
    // Signals the preview queue that a step has finished (the throttle's wait).
    std::mutex mPreviewSlotMutex;
    std::condition_variable mPreviewSlotFreed;
};
