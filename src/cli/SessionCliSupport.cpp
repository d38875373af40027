#include "SessionCliSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

extern char** environ;

namespace {

bool sameIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && !b[i];
}


bool parseCoordinate(double& out, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno == 0 && std::isfinite(out);
}

}  // namespace

bool ParsePreset(DeblurType& out, const std::string& name) {
    for (int t = 0; t <= DeblurNoType; ++t) {
        const DeblurType type = DeblurType(t);
        if (type == DeblurUnassigned || type == DeblurEffect || type == DeblurNoType) continue;
        if (sameIgnoringCase(name, PresetLabel(type))) {
            out = type;
            return true;
        }
    }
    return false;
}

bool ParsePresetName(DeblurType& out, const std::string& name, const char* command) {
    if (ParsePreset(out, name)) return true;
    CliError(kExitUsage, command, "unknown preset '%s' (the grid's names, FR, or blur)",
             name.c_str());
    return false;
}

bool ParsePresetOption(DeblurType& out, const CliArgs& args, const char* command) {
    const auto preset = args.options.find("--preset");
    if (preset != args.options.end()) return ParsePresetName(out, preset->second, command);
    CliError(kExitUsage, command, "--preset NAME is required");
    return false;
}

const char* PresetLabel(DeblurType type) {
    return type == DeblurBlurSimulation ? "blur" : DeblurTypeName(type);
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
    if (kind == "A" || kind == "a") out.type = 0;
    else if (kind == "B" || kind == "b") out.type = 1;
    else if (kind == "C" || kind == "c") out.type = 2;
    else {
        CliError(kExitUsage, command, "--mask must be A, B or C, got '%s'", kind.c_str());
        return false;
    }
    if (!FloatOption(out.radius, args, "--mask-radius", 0.5f, 100.0f, 2.0f, command) ||
        !FloatOption(out.crudeness, args, "--mask-crudeness", 0.0f, 1.0f, 0.25f, command))
        return false;
    if (!FloatOption(out.opacity, args, "--mask-opacity", allowShowMask ? -1.0f : 0.0f, 1.0f,
                     1.0f, command))
        return false;
    if (out.opacity < 0 && out.opacity != -1.0f) {
        CliError(kExitUsage, command, "--mask-opacity must be from 0 to 1, or -1 to show the mask");
        return false;
    }
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
    if (step) return IntOption(out, args, "--step", 1, 30, 1, command);
    // The radius in pixels is half the step.
    const std::string& text = args.options.at("--radius");
    float value = 0;
    if (!FloatOption(value, args, "--radius", 0.5f, 15.0f, 0.5f, command)) return false;
    if (value * 2 != std::round(value * 2)) {
        CliError(kExitUsage, command, "--radius must be a multiple of 0.5, got '%s'",
                 text.c_str());
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
    std::error_code ec;
    if (path.empty()) {
        CliError(kExitUsage, command, "the output path is empty");
        return false;
    }
    if (fs::is_directory(path, ec)) {
        CliError(kExitFailure, command, "cannot write '%s': it is a folder", path.c_str());
        return false;
    }
    fs::path folder = fs::absolute(path, ec).parent_path();
    if (ec || !fs::is_directory(folder, ec) || access(folder.c_str(), W_OK | X_OK) != 0) {
        CliError(kExitFailure, command, "cannot write '%s': no writable folder '%s'",
                 path.c_str(), folder.c_str());
        return false;
    }
    return true;
}

std::string FindExiftool() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path beside = self.parent_path() / "exiftool";
        if (access(beside.c_str(), X_OK) == 0) return beside.string();
    }
    const char* pathVariable = std::getenv("PATH");
    std::string paths = pathVariable ? pathVariable : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= paths.size()) {
        const std::size_t end = std::min(paths.find(':', start), paths.size());
        const std::string folder = paths.substr(start, end - start);
        if (!folder.empty()) {
            const fs::path candidate = fs::path(folder) / "exiftool";
            if (access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate, ec))
                return candidate.string();
        }
        start = end + 1;
    }
    return {};
}

bool CopyMetadata(const std::string& exiftool, const std::string& source,
                  const std::string& destination, const char* command) {
    std::error_code ec;
    const std::string from = fs::absolute(source, ec).string();
    const std::string to = fs::absolute(destination, ec).string();
    // "-all" copies what exiftool copies by default; the ICC profile has to be named as well.
    const char* argv[] = {exiftool.c_str(), "-tagsFromFile", from.c_str(), "-all", "-icc_profile",
                          "-overwrite_original", to.c_str(), nullptr};
    // Its standard input and output lead nowhere (nothing could block on a full pipe); its
    // diagnostics go to our standard error.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, exiftool.c_str(), &actions, nullptr,
                                    const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        CliError(kExitFailure, command, "could not start %s", exiftool.c_str());
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        CliError(kExitFailure, command, "exiftool could not copy the metadata of '%s' into '%s'",
                 from.c_str(), to.c_str());
        return false;
    }
    return true;
}

CliSession::CliSession(const char* command) : mCommand(command) {
    mSession.mCallback = &CliSession::callback;
    mSession.mCallbackContext = this;
}

CliSession::~CliSession() { mSession.reset(); }

bool CliSession::load(const std::string& path) {
    if (!mSession.loadImage(path)) {
        CliReadError(mCommand, path);
        return false;
    }
    return true;
}

bool CliSession::sectionAt(Rect& section, const CliArgs& args) {
    const int width = mSession.mOriginalImage->width(), height = mSession.mOriginalImage->height();
    double x = 0, y = 0;
    if (!ParsePoint(x, y, args, width, height, mCommand)) return false;
    section = PreviewSectionAroundPoint(x, y, width, height);
    std::fprintf(stderr, "velkaro-cli %s: section %d,%d %dx%d\n", mCommand, int(section.x),
                 int(section.y), int(section.width), int(section.height));
    return true;
}

void CliSession::waitForPreviews() {
    while (mSession.mPreviewBatches.load() != 0 || mSession.mRunningPreviews.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

int CliSession::count(int eventType) {
    std::lock_guard<std::mutex> guard(mMutex);
    return eventType >= 0 && eventType < kEventTypes ? mCounts[eventType] : 0;
}

void CliSession::callback(Session*, SessionEvent event, void* context) {
    auto* self = static_cast<CliSession*>(context);
    const DeblurredEntry& e = event.deblurredEntry;
    int done = 0;
    {
        std::lock_guard<std::mutex> guard(self->mMutex);
        if (event.eventType >= 0 && event.eventType < kEventTypes) ++self->mCounts[event.eventType];
        done = self->mCounts[PreviewFinished] + self->mCounts[PreviewCancelled];
    }
    self->mChanged.notify_all();
    const char* name = PresetLabel(e.deblurType);
    const double radius = e.radiusStep * 0.5;
    switch (event.eventType) {
        case DeblurStarted:
            std::fprintf(stderr, "velkaro-cli %s: deblurring %s radius %.1f\n", self->mCommand,
                         name, radius);
            break;
        case DeblurFinished:
            std::fprintf(stderr, "velkaro-cli %s: deblurred %s radius %.1f\n", self->mCommand,
                         name, radius);
            break;
        case PreviewFinished:
        case PreviewCancelled:
            std::fprintf(stderr, "velkaro-cli %s: preview %s radius %.1f %s (%d of %d)\n",
                         self->mCommand, name, radius,
                         event.eventType == PreviewFinished ? "done" : "cancelled", done,
                         self->mExpectedPreviews);
            break;
        default:
            break;
    }
}
