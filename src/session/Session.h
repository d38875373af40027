#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "CandidateScore.h"
#include "DeblurMethods.h"
#include "DeblurTypes.h"
#include "Dispatch.h"
#include "Image.h"
#include "Lock.h"
#include "PixelPack.h"

namespace velkaro {

// Everything that belongs to the one photograph being worked on: the original, the composite the
// user builds (the reconstructed image), the caches of computed results (held as PixelPacks; the
// newest full result as computed until the next one arrives) and the brush state. Full deblurs and
// previews run on worker threads; the session schedules them, stops them, and reports what happens
// through one event handler.
//
// Threads: the owner (the window's main thread, or the command-line tool's) calls everything
// here; the handler is called on whichever thread emits the event, never while the session holds
// a lock of its own, so it may call back into the session's queries.

struct ImageWriteOptions;  // ImageIO.h
enum class ReadFailure;    // ImageIO.h
enum class WriteFailure;   // AtomicFile.h

enum class SessionEventType {
    DeblurStarted,
    DeblurFinished,
    PreviewStarted,
    PreviewCancelled,
    PreviewFinished,
    OriginalLoaded,
    ReconstructedLoaded,
    // A full deblur's method failed (the FFT helper stopped answering); nothing was stored.
    DeblurFailed,
    // How far a running full deblur has come (a few a second at most, the fraction never going
    // back), between its DeblurStarted and its end.
    DeblurProgress,
    // A full deblur was cancelled by cancelDeblur(): it ends without a result (nothing stored).
    // Sent once, in place of DeblurFinished or DeblurFailed; also for a deblur not started yet.
    DeblurCancelled,
};

// Names one full deblur from its submission to its end; 0 names none.
using DeblurId = std::uint64_t;

// Where a full deblur is: `fraction` of the whole (0 … 1) while it works on channel `channel`
// (1 to 3), at iteration `iteration` of `iterations` of the channel's method (both 0 for a
// method without iterations; `iterations` 0 when the count is not known in advance).
struct DeblurProgressReport {
    double fraction = 0;
    int channel = 0;
    int iteration = 0;
    int iterations = 0;
};

struct SessionEvent {
    SessionEventType type;
    DeblurredEntry entry;                // the empty entry for the two loaded events
    DeblurId id = 0;                     // the full deblur's, for the deblur events
    DeblurProgressReport progress = {};  // DeblurProgress only
};

using SessionEventHandler = std::function<void(const SessionEvent&)>;

using DeblurredCache = std::map<DeblurredEntry, PixelPackRef>;
// What the scores of one preview section share: its bases by radius step and angle, and its blur
// estimate (made with the first basis).
struct ScoreBasisCache {
    Region section;
    // By radius step, angle and kernel image (its fingerprint, 0 for none).
    std::map<std::tuple<int, int, std::uint64_t>, std::shared_ptr<const ScoreBasis>> bases;
    std::optional<BlurEstimate> estimate;
};

// The preview section around a point (image pixels) of a W × H photograph: 512 × 512 pixels,
// centred on the point where possible, shifted inside the image, and the whole image when it is
// smaller.
Rect PreviewSectionAroundPoint(double px, double py, int W, int H);

class Session {
  public:
    Session();
    // Stops and waits for every worker.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Set before any work starts.
    void setEventHandler(SessionEventHandler handler) { mHandler = std::move(handler); }

    // --- the photograph (owner's thread) ---
    // Empties the session, then decodes the file; false (and an empty session) when it cannot be
    // decoded, `failure` (when given) saying why. Sends OriginalLoaded then ReconstructedLoaded
    // before it returns.
    bool loadImage(const std::string& path, ReadFailure* failure = nullptr);
    // As loadImage, with a photograph already decoded.
    void loadDecodedImage(const ImageRef& image);
    // Stops and waits for every worker, then frees the images, the brush state and both caches.
    void reset();
    // Null while nothing is loaded.
    const CImage* original() const { return mOriginalImage.get(); }
    CImage* reconstructed() { return mReconstructedImage.get(); }

    // --- full deblurs ---
    // False, with the message to show, when the full deblur of `entry` (its preset and step, its
    // kernel, brightness only) would need more memory than is available; such a deblur is
    // refused (no events).
    bool fullDeblurFitsInMemory(const DeblurredEntry& entry, std::string& message);
    // Schedules the full deblur of `entry` (preset, step, angle, mask) on the global queue and
    // returns the id its events carry. A deblur still waiting when the session is reset never runs.
    DeblurId submitDeblur(const DeblurredEntry& entry);
    // Stops one full deblur, waiting or running (its method stops at its next poll of the stop
    // flag): nothing is stored and DeblurCancelled is sent, at once for a deblur not started yet,
    // else from its worker as it ends. Other work goes on. False when `id` names no deblur that
    // is still pending (already ended, or never submitted).
    bool cancelDeblur(DeblurId id);
    // The same on the calling thread: DeblurStarted, compute, store, DeblurFinished; DeblurFailed
    // instead of storing when a method failed.
    void deblur(const DeblurredEntry& entry);
    // A new decoded copy of a stored full result, or null. The newest full result stays as
    // computed, beside the packed ones, until the next full result is stored: fetching or applying
    // the result just made costs one copy, and a result that is written once and never fetched
    // again is never packed.
    ImageRef deblurredImage(const DeblurredEntry& entry);
    // Brightness only adds the luminance picture of the photograph to the method's arrays. A
    // kernel image counts at the size the row draws it, which can be well beyond the disc's.
    std::int64_t memoryUsageForDeblurType(int radiusStep, DeblurType deblurType, int width,
                                          int height, bool brightnessOnly = false,
                                          const BlurKernel& kernel = {});
    std::int64_t memoryUsageForDeblurType(int radiusStep, DeblurType deblurType,
                                          bool brightnessOnly = false,
                                          const BlurKernel& kernel = {});

    // Brightness only: the methods deblur the linear-light luminance, and each pixel keeps its
    // colour ratios (one channel of work instead of three; no colour fringes). Preview requests
    // made from now on carry the setting in their entries; a full deblur takes its entry's.
    void setBrightnessOnly(bool on) { mBrightnessOnly = on; }
    bool brightnessOnly() const { return mBrightnessOnly; }

    // --- previews of a section ---
    // Steps 1 … radiusMaxStep at one angle; one step at one angle; steps 1 … radiusMaxStep at
    // every tenth degree. Requests run in order; at most three steps compute at once.
    void deblurPreviewAngleUpToStep(int radiusMaxStep, DeblurType deblurType,
                                    const BlurKernel& kernel, const Rect& section);
    void deblurPreviewAngleStep(int radiusStep, DeblurType deblurType, const BlurKernel& kernel,
                                const Rect& section);
    void deblurPreviewUpToStep(int radiusMaxStep, DeblurType deblurType, const Rect& section);
    // Steps 1 … radiusMaxStep of several presets at one angle, column after column: a preset
    // whose run passes through another's results (RL80 through RL40's and RL20's) fills that
    // one's cells on its way, as the grid's background filling does.
    void deblurPreviewColumnsUpToStep(int radiusMaxStep, const std::vector<DeblurType>& deblurTypes,
                                      const BlurKernel& kernel, const Rect& section);
    bool deblurredPreviewIsDone(const DeblurredEntry& entry);
    std::size_t previewCount();
    // The stored preview with the mask applied (opacity -1: the mask itself), or null.
    ImageRef deblurredPreview(const DeblurredEntry& entry, float maskRadius, int maskType,
                              float maskOpacity, float maskCrudeness);
    // Cancels the requests queued so far (PreviewCancelled each) and the grid's background filling;
    // later requests run. A step stopped while it computes is cancelled too: it may be unfinished.
    void stopPreview();
    // Stops every preview, waits for the running ones, and forgets the stored ones.
    void clearPreviews();

    // --- the rest of the grid, in the background ---
    // Queues every grid cell (presets 0 … kGridDeblurTypes - 1, steps 1 … radiusMaxStep, at one
    // angle) of the section not computed yet, replacing what was queued so far: the cells of
    // `firstColumn` first, then the cheaper methods before the dearer, least squares last. They
    // run on the low-priority queue, at most two at once, and only while no request is queued
    // or computing: a request always goes ahead. They send the same events as requested steps.
    // stopPreview() and clearPreviews() drop them.
    void fillPreviewGrid(int radiusMaxStep, DeblurType firstColumn, const BlurKernel& kernel,
                         const Rect& section);
    // Moves the waiting cells of `column` ahead of the other waiting ones.
    void preferPreviewColumn(DeblurType column);
    // The cells still waiting, in the order they will start.
    std::vector<DeblurredEntry> backgroundPreviewsWaiting();

    // --- scores of the stored previews ---
    // Every preview is scored against its original section when it finishes (on its worker).
    std::optional<CandidateScore> previewScore(const DeblurredEntry& entry);
    // The stored previews ranked best first (RankCandidates), at most `count`.
    std::vector<DeblurredEntry> bestPreviews(std::size_t count);
    // Whether no stored preview scores above the original section (LittleToGain).
    bool previewsHaveLittleToGain();
    // The artefact map of a stored preview (see ArtefactMap), or null.
    ImageRef previewArtefactMap(const DeblurredEntry& entry);

    // --- work in progress ---
    struct WorkCounts {
        int pendingDeblurs;   // submitted (or running) and not ended
        int previewBatches;   // preview requests with steps still on the preview queue
        int runningPreviews;  // preview steps handed out and not ended (at most three)
    };
    WorkCounts workCounts();
    // No full deblur pending, no preview queued or running.
    bool isIdle();
    bool previewsAreIdle();
    void waitUntilIdle();

    // --- brush and apply-all (owner's thread) ---
    void startBrush();
    void applyBrush(const Image* source, float size, float opacity, int x, int y, Rect* changed);
    void endBrush();
    // The composite as it was when the open stroke started; null outside a stroke.
    const CImage* brushBase() const { return mBrushBase.get(); }
    void applyAll(const ImageRef& source);
    // The stored full result of `entry` over the whole composite, decoded straight into it; false
    // (the composite untouched) when no such result is stored.
    bool applyAll(const DeblurredEntry& entry);

    // --- saving (owner's thread) ---
    bool saveReconstructedImage(const std::string& path, const std::string& type, int quality);
    bool saveReconstructedImage(const std::string& path, const ImageWriteOptions& options,
                                WriteFailure* failure = nullptr);
    bool saveDeblurredImages(const std::string& directoryPath);

    // --- for tests ---
    // The methods behind the presets (recording stand-ins watch the dispatch).
    void setMethods(const DeblurMethods& methods) { mMethods = methods; }
    // The bytes available for a full deblur; null reads them from the system.
    void setAvailableMemory(std::int64_t (*available)()) { mAvailableMemory = available; }

  private:
    // One full deblur from submission to its end; shared by the session's list of pending
    // deblurs and its worker.
    struct DeblurJob {
        DeblurId id = 0;
        DeblurredEntry entry;
        std::atomic<bool> stop{false};  // cancelled, or the session is being reset
        bool started = false;           // under mWorkMutex
        bool cancelled = false;         // under mWorkMutex
        // The progress reports passed on (the worker's thread only).
        double fraction = 0;
        int channel = 0;
        std::int64_t sentAtMs = 0;
    };
    using DeblurJobRef = std::shared_ptr<DeblurJob>;
    DeblurJobRef newDeblurJob(const DeblurredEntry& entry);
    // A method's report on `channel` of the job, sent on as DeblurProgress when the channel is
    // new or the last report sent is old enough.
    void reportDeblurProgress(DeblurJob& job, int channel, const MethodProgressStep& step);

    void sendEvent(SessionEventType type, const DeblurredEntry& entry);
    void sendEvent(const SessionEvent& event);
    void freeImages();
    // One channel (1 to 3) of a region of the original into `destination` (the region's size),
    // through the preset's method, which polls `stop` and reports to `progress` (may be null).
    // False when the method failed (a message says why) and the channel was not written.
    // `snapshots`, when not null, also receive the results of fewer iterations (see MethodCall).
    bool deblurStepForChannel(int radiusStep, DeblurType deblurType, CImage* destination,
                              int channel, const BlurKernel& kernel, const std::atomic<bool>* stop,
                              const MethodProgress* progress, const Region& region,
                              const IterationSnapshots* snapshots = nullptr);
    // The same on the luminance picture, once, into channel 1; then every channel of
    // `destination` gets the original's colour ratios at the deblurred luminance.
    bool deblurStepForLuminance(int radiusStep, DeblurType deblurType, CImage* destination,
                                const BlurKernel& kernel, const std::atomic<bool>* stop,
                                const MethodProgress* progress, const Region& region,
                                const IterationSnapshots* snapshots = nullptr);
    // The luminance picture of the original (see LuminancePicture), made on first use.
    CImage luminancePicture();
    // The whole photograph, masked, into `result` (left null when stopped). False when a
    // channel's method failed.
    bool deblurStep(DeblurJob& job, ImageRef& result);
    // The stored full result of `entry`: the newest as computed (never written again) or its
    // pack; false when none is stored.
    bool findDeblurred(const DeblurredEntry& entry, ImageRef& newest, PixelPackRef& packed);
    // Stores a full result as the newest; the one it replaces is packed into the cache.
    void storeDeblurred(const DeblurredEntry& entry, const ImageRef& result);
    // DeblurStarted, compute, store, DeblurFinished (DeblurFailed instead of storing when a
    // method failed, DeblurCancelled when cancelled); counted in mPendingDeblurs by the caller.
    void runDeblur(DeblurJob& job);
    // The job leaves the pending list; true when it was cancelled.
    bool endDeblurJob(DeblurJob& job);
    void queuePreviewBatch(const std::function<void()>& queueSteps);
    // Waits for a free place among the three, then computes `entries` as deblurPreviewStep does.
    void queueDeblurPreviewStep(const std::vector<DeblurredEntry>& entries, const Rect& section);
    // Computes entries[0]'s cell; the other entries (its preset with fewer iterations, same step
    // and kernel) are filled on the way.
    void deblurPreviewStep(const std::vector<DeblurredEntry>& entries, const Rect& section,
                           bool background);
    // The score's view of the original `region` for one kernel, made once and shared by the
    // presets' cells at that step.
    std::shared_ptr<const ScoreBasis> scoreBasis(const Region& region, int radiusStep,
                                                 const BlurKernel& kernel);
    // A new decoded copy of a stored preview (null if none) and the section of the original it
    // shows; an empty section when it does not match the last one computed.
    ImageRef storedPreview(const DeblurredEntry& entry, Region& section);
    // Ends a preview step or batch: the counter goes down and, when nothing requested is left,
    // waiting background cells are handed out. The last touch of the session.
    void endPreviewWork(int& counter, bool background);
    // Under mWorkMutex: takes the background cells that may start now and counts them running,
    // each with the waiting cells computed in the same run (see deblurPreviewStep).
    std::vector<std::vector<DeblurredEntry>> takeBackgroundCellsLocked();
    void startBackgroundCells(const std::vector<std::vector<DeblurredEntry>>& cells,
                              const Rect& section);
    // Sets the stop-preview flag and waits until no preview request or step is left.
    void stopAndWaitForPreviews();
    void endPreviewClear();
    // Changes a work counter and wakes every waiter.
    void changeCount(int& counter, int delta);

    std::unique_ptr<CImage> mOriginalImage;       // set under mLock, read freely by workers
    std::unique_ptr<CImage> mReconstructedImage;  // owner's thread only
    std::unique_ptr<float[]> mBrushWeights;       // owner's thread only
    std::unique_ptr<CImage> mBrushBase;           // owner's thread only
    int mBrushRect[4] = {-1, -1, -1, -1};         // min x, min y, end x, end y
    SessionEventHandler mHandler;

    // Guards the two caches, the newest result, the scores, mPreviewSection and the score bases.
    Lock mLock;
    DeblurredCache mDeblurredImages;
    // The newest full result, unpacked (null when none); never in mDeblurredImages as well.
    DeblurredEntry mNewestEntry;
    ImageRef mNewestImage;
    std::mutex mStoreMutex;  // one full result stored at a time
    DeblurredCache mDeblurredPreviews;
    std::map<DeblurredEntry, CandidateScore> mPreviewScores;
    Region mPreviewSection;       // of the last preview computed
    ScoreBasisCache mScoreCache;  // of the last section scored

    // The work in progress, under mWorkMutex; every change wakes mWorkChanged.
    std::mutex mWorkMutex;
    std::condition_variable mWorkChanged;
    int mPendingDeblurs = 0;   // submitted, not ended
    int mDeblurEpoch = 0;      // advanced by reset: older submitted deblurs never run
    int mPreviewBatches = 0;   // preview requests still on the preview queue
    int mRunningPreviews = 0;  // preview steps handed to the global queue, not ended
    int mPreviewClears = 0;    // clearPreviews() / reset() waiting; the stop flag stays set
    std::map<DeblurId, DeblurJobRef> mDeblurJobs;  // submitted, not ended
    DeblurId mLastDeblurId = 0;
    std::deque<DeblurredEntry> mBackgroundCells;  // the grid's cells still to fill, in order
    Rect mBackgroundSection;
    int mRunningBackground = 0;  // of mRunningPreviews, the background cells
    // Read by the numerical code between its steps.
    std::atomic<bool> mStopDeblur{false};
    std::atomic<bool> mStopPreview{false};
    // Counts stopPreview() and clearing calls: a step that saw it change while it computed may
    // have been stopped early, whatever the flag says by then.
    std::atomic<int> mPreviewStops{0};
    std::unique_ptr<SerialQueue> mPreviewQueue;

    DeblurMethods mMethods = DefaultDeblurMethods();
    bool mBrightnessOnly = false;  // owner's thread
    std::mutex mLuminanceMutex;    // guards mLuminance
    CImage mLuminance;             // the original's luminance picture; empty until needed
    std::int64_t (*mAvailableMemory)() = nullptr;
};

}  // namespace velkaro
