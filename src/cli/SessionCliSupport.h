#pragma once

// Pieces shared by the subcommands that drive the processing session (deblur, preview, grid):
// preset and option parsing, the event waiter, output checks and the metadata copy.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "BlurEstimate.h"
#include "CliArgs.h"
#include "Exiftool.h"
#include "ImageIO.h"
#include "Session.h"

namespace velkaro {

// ParsePreset, with a message naming the unknown preset.
bool ParsePresetName(DeblurType& out, const std::string& name, const char* command);
// The required "--preset NAME".
bool ParsePresetOption(DeblurType& out, const CliArgs& args, const char* command);

// --mask A|B|C with --mask-radius, --mask-opacity and --mask-crudeness. Without --mask: mask type
// -1, opacity 0 (the result untouched).
struct MaskOptions {
    int type = -1;
    float radius = 0;
    float opacity = 0;
    float crudeness = 0;
};
extern const std::vector<std::string> kMaskOptionNames;
// `allowShowMask`: opacity -1 (the mask itself as a grey picture) is accepted too.
bool ParseMaskOptions(MaskOptions& out, const CliArgs& args, bool allowShowMask,
                      const char* command);

// "--step N", an integer from 1 to 30, or "--radius R", 0.5 to 15 pixels in steps of 0.5 (the
// step is twice the radius); exactly one of them.
bool ParseStep(int& out, const CliArgs& args, const char* command);
// "--angle DEG": a motion line's angle as a protractor on the photograph reads it (-1 … 359, -1 or
// none: the disc), given back in the kernel's own convention (KernelAngleFromProtractor).
bool ParseKernelAngle(int& out, const CliArgs& args, const char* command);
// The kernel options of preview, grid and deblur: "--shape disc|motion|shake", "--angle DEG" (the
// line; an angle alone means motion), "--kernel K.png" (a kernel picture, ReadKernelFile) and the
// flag "--luma" (brightness only).
extern const std::vector<std::string> kKernelOptionNames;
extern const std::vector<std::string> kKernelFlagNames;
struct KernelOptions {
    BlurKernel kernel;   // the disc, the line or the kernel read; the shake's once estimated
    bool shake = false;  // the kernel is still to be estimated at --at (EstimateShakeAt)
    bool brightnessOnly = false;

    // The key of a result of `type` at `step` with this kernel, without a mask.
    DeblurredEntry entry(DeblurType type, int step) const;
};
// False with one line: exit status `status`, kExitUsage for a nonsensical combination and
// kExitFailure for a kernel file that is no kernel (it says why).
bool ParseKernelOptions(KernelOptions& out, const CliArgs& args, const char* command, int& status);

// "--at X,Y": a point inside a width × height photograph.
bool ParsePoint(double& x, double& y, const CliArgs& args, int width, int height,
                const char* command);

// An output path that can be written: not a folder, in an existing folder we may write into.
bool CheckOutputPath(const std::string& path, const char* command);

// Copies the source's metadata tags and its ICC colour profile into `destination` with exiftool
// (CopyMetadataTags: the orientation made normal; both paths absolute so that no name can read
// as an option).
// The program is looked up (FindExiftool) beside velkaro-cli, then on PATH.
bool CopyMetadata(const std::string& exiftool, const std::string& source,
                  const std::string& destination, const char* command);

// Saves the session's composite as `out` and, when `exiftool` is given, copies the metadata of
// `in` into it; false with a message when either fails.
bool SaveComposite(Session& session, const std::string& in, const std::string& out,
                   ImageWriteOptions write, const std::string& exiftool, const char* command);

// The batch form "IN... --out-dir DIR [--suffix TEXT]": runs `one` on each IN in turn with its
// output DIR/NAME+TEXT.EXT, the type --type's (`write.type`, when `typeGiven`), else IN's own when
// the tool writes it, else PNG. A photograph that fails is reported and the others go on; an
// output that would overwrite its input fails. With `skipNewer`, an output already newer than its
// input is kept and counted as done. The exit status: kExitFailure when any failed.
int RunBatch(const std::vector<std::string>& inputs, const CliArgs& args,
             const ImageWriteOptions& write, bool typeGiven, bool skipNewer, const char* command,
             const std::function<bool(const std::string& in, const std::string& out,
                                      const ImageWriteOptions& write)>& one);

// A session whose events are counted and reported on standard error as they arrive; when
// standard error is a terminal, a full deblur's progress too (one line rewritten in place).
class CliSession {
  public:
    explicit CliSession(const char* command);
    ~CliSession();

    Session& session() { return mSession; }
    // Loads the photograph; false with a message when it cannot be decoded.
    bool load(const std::string& path);
    // The preview section around the "--at X,Y" point of the loaded photograph, as the
    // application's grid takes it; false with a message when the point is bad.
    bool sectionAt(Rect& section, const CliArgs& args);
    // For --shape shake: the blind estimate of the section's kernel into `kernel` (and the whole
    // estimate into `estimate` when given; its line on standard error); false with a message when
    // the section shows no blur.
    bool estimateShake(KernelOptions& kernel, const Rect& section,
                       BlurEstimate* estimate = nullptr);
    // load(), then sectionAt(), then for --shape shake estimateShake() (into `kernel` and
    // `estimate` when given): kExitOk, or the status to exit with, its message printed.
    int loadSection(Rect& section, const std::string& path, const CliArgs& args,
                    KernelOptions* kernel = nullptr, BlurEstimate* estimate = nullptr);
    int count(SessionEventType type);

    // Total number of preview steps the progress lines count towards.
    void expectPreviews(int total) { mExpectedPreviews = total; }

  private:
    void report(const SessionEvent& event);

    const char* mCommand;
    // Standard error is a terminal: full deblurs show their progress on one rewritten line.
    const bool mProgressLine;
    bool mProgressShown = false;  // the progress line is on screen, unfinished
    std::mutex mMutex;
    int mCounts[int(SessionEventType::DeblurCancelled) + 1] = {};
    int mExpectedPreviews = 0;
    Session mSession;  // last: its workers end before the members they report into
};

// A copy of the w × h region at the section's corner of the session's original: what the preview
// cells are judged against. Empty when the region does not lie inside the photograph.
CImage OriginalSection(const CImage& original, const Rect& section, int w, int h);

}  // namespace velkaro
