#include "SessionCliSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "AtomicFile.h"
#include "Commands.h"
#include "Filter.h"
#include "ImageIO.h"
#include "KernelFile.h"
#include "SectionKernel.h"

namespace velkaro {

namespace fs = std::filesystem;

namespace {

bool parseCoordinate(double& out, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno == 0 && std::isfinite(out);
}

}  // namespace

bool ParsePresetName(DeblurType& out, const std::string& name, const char* command) {
    if (ParsePreset(out, name))
        return true;
    CliError(kExitUsage, command, "unknown preset '%s' (the grid's names, FR, or blur)",
             name.c_str());
    return false;
}

bool ParsePresetOption(DeblurType& out, const CliArgs& args, const char* command) {
    const auto preset = args.options.find("--preset");
    if (preset != args.options.end())
        return ParsePresetName(out, preset->second, command);
    CliError(kExitUsage, command, "--preset NAME is required");
    return false;
}

const std::vector<std::string> kMaskOptionNames = {"--mask", "--mask-radius", "--mask-opacity",
                                                   "--mask-crudeness"};

bool ParseMaskOptions(MaskOptions& out, const CliArgs& args, bool allowShowMask,
                      const char* command) {
    out = MaskOptions{};
    const auto mask = args.options.find("--mask");
    if (mask == args.options.end()) {
        for (const std::string& name : kMaskOptionNames)
            if (args.options.count(name)) {
                CliError(kExitUsage, command, "%s needs --mask A|B|C", name.c_str());
                return false;
            }
        return true;
    }
    const std::string& kind = mask->second;
    if (kind == "A" || kind == "a")
        out.type = 0;
    else if (kind == "B" || kind == "b")
        out.type = 1;
    else if (kind == "C" || kind == "c")
        out.type = 2;
    else {
        CliError(kExitUsage, command, "--mask must be A, B or C, got '%s'", kind.c_str());
        return false;
    }
    if (!FloatOption(out.radius, args, "--mask-radius", 0.5f, 100.0f, 2.0f, command) ||
        !FloatOption(out.crudeness, args, "--mask-crudeness", 0.0f, 1.0f, 0.25f, command))
        return false;
    if (!FloatOption(out.opacity, args, "--mask-opacity", allowShowMask ? -1.0f : 0.0f, 1.0f, 1.0f,
                     command))
        return false;
    if (out.opacity < 0 && out.opacity != -1.0f) {
        CliError(kExitUsage, command, "--mask-opacity must be from 0 to 1, or -1 to show the mask");
        return false;
    }
    return true;
}

bool ParseKernelAngle(int& out, const CliArgs& args, const char* command) {
    if (!IntOption(out, args, "--angle", -1, 359, -1, command))
        return false;
    out = KernelAngleFromProtractor(out);
    return true;
}

const std::vector<std::string> kKernelOptionNames = {"--shape", "--angle", "--kernel", "--luma"};
const std::vector<std::string> kKernelFlagNames = {"--luma"};

DeblurredEntry KernelOptions::entry(DeblurType type, int step) const {
    return UnmaskedEntry(type, step, kernel, brightnessOnly);
}

bool ParseKernelOptions(KernelOptions& out, const CliArgs& args, const char* command, int& status) {
    out = KernelOptions{};
    status = kExitUsage;
    out.brightnessOnly = args.options.count("--luma") != 0;
    const bool angle = args.options.count("--angle") != 0;
    const auto file = args.options.find("--kernel");
    const auto shape = args.options.find("--shape");
    const std::string name = shape == args.options.end() ? "" : shape->second;
    if (!name.empty() && name != "disc" && name != "motion" && name != "shake") {
        CliError(status, command, "--shape must be disc, motion or shake, got '%s'", name.c_str());
        return false;
    }
    if (file != args.options.end() && !name.empty()) {
        CliError(status, command, "--kernel gives the shape: no --shape with it");
        return false;
    }
    if (angle && (file != args.options.end() || (!name.empty() && name != "motion"))) {
        CliError(status, command, "--angle goes with --shape motion only");
        return false;
    }
    if (name == "motion" && !angle) {
        CliError(status, command, "--shape motion needs --angle DEG");
        return false;
    }
    out.shake = name == "shake";
    int kernelAngle = -1;
    if (!ParseKernelAngle(kernelAngle, args, command))
        return false;
    out.kernel = BlurKernel(kernelAngle);
    if (file == args.options.end())
        return true;
    std::string reason;
    KernelImageRef image = ReadKernelFile(file->second, reason);
    if (!image) {
        status = kExitFailure;
        CliError(status, command, "cannot use '%s' as a kernel: %s", file->second.c_str(),
                 reason.c_str());
        return false;
    }
    out.kernel = BlurKernel(std::move(image));
    return true;
}

bool ParseStep(int& out, const CliArgs& args, const char* command) {
    const bool step = args.options.count("--step") != 0;
    const bool radius = args.options.count("--radius") != 0;
    if (step == radius) {
        CliError(kExitUsage, command,
                 step ? "give --step or --radius, not both"
                      : "--step N (1 to 30) or --radius R (0.5 to 15) is required");
        return false;
    }
    if (step)
        return IntOption(out, args, "--step", 1, 30, 1, command);
    // The radius in pixels is half the step.
    const std::string& text = args.options.at("--radius");
    float value = 0;
    if (!FloatOption(value, args, "--radius", 0.5f, 15.0f, 0.5f, command))
        return false;
    if (value * 2 != std::round(value * 2)) {
        CliError(kExitUsage, command, "--radius must be a multiple of 0.5, got '%s'", text.c_str());
        return false;
    }
    out = int(std::lround(value * 2));
    return true;
}

bool ParsePoint(double& x, double& y, const CliArgs& args, int width, int height,
                const char* command) {
    const auto at = args.options.find("--at");
    if (at == args.options.end()) {
        CliError(kExitUsage, command, "--at X,Y is required");
        return false;
    }
    const std::string& text = at->second;
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos || !parseCoordinate(x, text.substr(0, comma)) ||
        !parseCoordinate(y, text.substr(comma + 1))) {
        CliError(kExitUsage, command, "--at must be X,Y in pixels, got '%s'", text.c_str());
        return false;
    }
    if (x < 0 || y < 0 || x >= width || y >= height) {
        CliError(kExitUsage, command, "the point %s lies outside the %d x %d photograph",
                 text.c_str(), width, height);
        return false;
    }
    return true;
}

bool CheckOutputPath(const std::string& path, const char* command) {
    if (path.empty()) {
        CliError(kExitUsage, command, "the output path is empty");
        return false;
    }
    switch (CheckWritable(path)) {
        case WriteFailure::Folder:
            CliError(kExitFailure, command, "cannot write '%s': it is a folder", path.c_str());
            return false;
        case WriteFailure::MissingFolder:
        case WriteFailure::NotAFolder:
        case WriteFailure::Permission: {
            std::error_code ec;
            const fs::path folder = fs::absolute(path, ec).parent_path();
            CliError(kExitFailure, command, "cannot write '%s': no writable folder '%s'",
                     path.c_str(), folder.c_str());
            return false;
        }
        default:  // anything else (a full disk) is reported by the write itself
            return true;
    }
}

bool CopyMetadata(const std::string& exiftool, const std::string& source,
                  const std::string& destination, const char* command) {
    switch (CopyMetadataTags(exiftool, source, destination)) {
        case ExiftoolResult::Copied:
            return true;
        case ExiftoolResult::NotStarted:
            CliError(kExitFailure, command, "could not start %s", exiftool.c_str());
            return false;
        case ExiftoolResult::Failed:
            break;
    }
    std::error_code ec;
    CliError(kExitFailure, command, "exiftool could not copy the metadata of '%s' into '%s'",
             fs::absolute(source, ec).c_str(), fs::absolute(destination, ec).c_str());
    return false;
}

bool SaveComposite(Session& session, const std::string& in, const std::string& out,
                   ImageWriteOptions write, const std::string& exiftool, const char* command) {
    // A file that receives the source's metadata carries the source's colour profile (or none),
    // never an sRGB tag of its own.
    write.srgbTag = exiftool.empty();
    if (!session.saveReconstructedImage(out, write)) {
        CliError(kExitFailure, command, "could not write '%s'", out.c_str());
        return false;
    }
    if (!exiftool.empty() && !CopyMetadata(exiftool, in, out, command))
        return false;
    std::fprintf(stderr, "velkaro-cli %s: wrote %s (%s)\n", command, out.c_str(),
                 write.type.c_str());
    return true;
}

namespace {

// The file extension written for `type`; an input's own spelling of it is kept.
std::string extensionFor(const std::string& type, const fs::path& input) {
    std::string own = input.extension().string();
    for (char& c : own) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (type == "JPEG")
        return own == ".jpeg" ? input.extension().string() : ".jpg";
    if (type == "TIFF")
        return own == ".tif" || own == ".tiff" ? input.extension().string() : ".tif";
    return ".png";
}

}  // namespace

int RunBatch(const std::vector<std::string>& inputs, const CliArgs& args,
             const ImageWriteOptions& write, bool typeGiven, bool skipNewer, const char* command,
             const std::function<bool(const std::string& in, const std::string& out,
                                      const ImageWriteOptions& write)>& one) {
    const fs::path folder = args.options.at("--out-dir");
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return CliError(kExitFailure, command, "--out-dir '%s' is not a folder", folder.c_str());
    const auto suffix = args.options.find("--suffix");
    std::vector<std::string> failed;
    for (const std::string& in : inputs) {
        ImageWriteOptions options = write;
        if (!typeGiven) {
            std::string upper = fs::path(in).extension().string();
            for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
            options.type = upper == ".JPG" || upper == ".JPEG"   ? "JPEG"
                           : upper == ".TIF" || upper == ".TIFF" ? "TIFF"
                                                                 : "PNG";
        }
        const fs::path out =
            folder / (fs::path(in).stem().string() +
                      (suffix == args.options.end() ? std::string() : suffix->second) +
                      extensionFor(options.type, in));
        if (fs::exists(out, ec) && fs::equivalent(out, in, ec)) {
            CliError(kExitFailure, command,
                     "not processing '%s': it would be written over itself (give --suffix)",
                     in.c_str());
            failed.push_back(in);
            continue;
        }
        // An output written after its input was last changed is done: an interrupted batch
        // resumes where it stopped (outputs are written whole or not at all).
        if (skipNewer && fs::exists(out, ec) && fs::exists(in, ec) &&
            fs::last_write_time(out, ec) > fs::last_write_time(in, ec) && !ec) {
            std::fprintf(stderr, "velkaro-cli %s: %s is newer than %s: kept (--force redoes it)\n",
                         command, out.c_str(), in.c_str());
            continue;
        }
        std::fprintf(stderr, "velkaro-cli %s: %s -> %s\n", command, in.c_str(), out.c_str());
        if (!one(in, out.string(), options))
            failed.push_back(in);
    }
    if (failed.empty())
        return kExitOk;
    std::string names;
    for (const std::string& name : failed) names += (names.empty() ? "'" : ", '") + name + "'";
    return CliError(kExitFailure, command, "%zu of %zu photographs failed: %s", failed.size(),
                    inputs.size(), names.c_str());
}

CliSession::CliSession(const char* command)
    : mCommand(command), mProgressLine(isatty(STDERR_FILENO) == 1) {
    mSession.setEventHandler([this](const SessionEvent& event) { report(event); });
}

CliSession::~CliSession() {
    mSession.reset();
}

bool CliSession::load(const std::string& path) {
    ReadFailure failure;
    if (!mSession.loadImage(path, &failure)) {
        CliReadError(mCommand, path, failure);
        return false;
    }
    return true;
}

bool CliSession::sectionAt(Rect& section, const CliArgs& args) {
    const int width = mSession.original()->width(), height = mSession.original()->height();
    double x = 0, y = 0;
    if (!ParsePoint(x, y, args, width, height, mCommand))
        return false;
    section = PreviewSectionAroundPoint(x, y, width, height);
    std::fprintf(stderr, "velkaro-cli %s: section %d,%d %dx%d\n", mCommand, int(section.x),
                 int(section.y), int(section.width), int(section.height));
    return true;
}

int CliSession::loadSection(Rect& section, const std::string& path, const CliArgs& args,
                            KernelOptions* kernel, BlurEstimate* estimate) {
    if (!load(path))
        return kExitFailure;
    if (!sectionAt(section, args))
        return kExitUsage;
    if (kernel && kernel->shake && !estimateShake(*kernel, section, estimate))
        return kExitFailure;
    return kExitOk;
}

bool CliSession::estimateShake(KernelOptions& kernel, const Rect& section, BlurEstimate* estimate) {
    const BlurEstimate fit = EstimateBlur(*mSession.original(), RegionOf(section));
    const BlurEstimate shake = EstimateShakeSection(*mSession.original(), RegionOf(section), fit);
    if (!shake.kernel) {
        CliError(kExitFailure, mCommand, "no blur found in the section to estimate a kernel from");
        return false;
    }
    std::fprintf(stderr, "velkaro-cli %s: %s\n", mCommand, EstimateLine(shake).c_str());
    kernel.kernel = shake.blurKernel();
    kernel.shake = false;
    if (estimate)
        *estimate = shake;
    return true;
}

int CliSession::count(SessionEventType type) {
    std::lock_guard<std::mutex> guard(mMutex);
    return mCounts[int(type)];
}

void CliSession::report(const SessionEvent& event) {
    const DeblurredEntry& e = event.entry;
    // One thread at a time: the progress line and the lines that end it stay whole.
    std::lock_guard<std::mutex> guard(mMutex);
    ++mCounts[int(event.type)];
    const int done = mCounts[int(SessionEventType::PreviewFinished)] +
                     mCounts[int(SessionEventType::PreviewCancelled)];
    const char* name = PresetLabel(e.deblurType);
    const double radius = e.radiusStep * 0.5;
    if (event.type == SessionEventType::DeblurProgress) {
        // One line, rewritten in place: only a terminal shows it as such.
        if (!mProgressLine)
            return;
        const DeblurProgressReport& p = event.progress;
        std::string iteration;
        if (p.iteration > 0)
            iteration = " iteration " + std::to_string(p.iteration) +
                        (p.iterations > 0 ? "/" + std::to_string(p.iterations) : std::string());
        std::fprintf(stderr, "\r\033[Kvelkaro-cli %s: %s radius %.1f %3d%% channel %d/%d%s",
                     mCommand, name, radius, int(p.fraction * 100), p.channel,
                     e.brightnessOnly ? 1 : 3, iteration.c_str());
        std::fflush(stderr);
        mProgressShown = true;
        return;
    }
    if (mProgressShown) {
        std::fputs("\r\033[K", stderr);
        mProgressShown = false;
    }
    switch (event.type) {
        case SessionEventType::DeblurStarted:
            std::fprintf(stderr, "velkaro-cli %s: deblurring %s radius %.1f\n", mCommand, name,
                         radius);
            break;
        case SessionEventType::DeblurFinished:
            std::fprintf(stderr, "velkaro-cli %s: deblurred %s radius %.1f\n", mCommand, name,
                         radius);
            break;
        case SessionEventType::PreviewFinished:
        case SessionEventType::PreviewCancelled:
            std::fprintf(stderr, "velkaro-cli %s: preview %s radius %.1f %s (%d of %d)\n", mCommand,
                         name, radius,
                         event.type == SessionEventType::PreviewFinished ? "done" : "cancelled",
                         done, mExpectedPreviews);
            break;
        default:
            break;
    }
}

CImage OriginalSection(const CImage& original, const Rect& section, int w, int h) {
    const int x = int(section.x), y = int(section.y);
    if (w <= 0 || h <= 0 || x < 0 || y < 0 || x + w > original.width() || y + h > original.height())
        return CImage();
    return CropImage(original, x, y, w, h);
}

}  // namespace velkaro
