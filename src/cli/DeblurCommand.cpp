// velkaro-cli deblur IN OUT --preset NAME --step N [kernel options] [--at X,Y] [mask options]
// [--type T] [--quality Q] [--copy-metadata]: one full deblur through the session, applied to
// the whole composite and saved as the application saves it. With --out-dir DIR, every IN is
// deblurred in turn into DIR (each with all cores), and a photograph that fails does not stop
// the others. --shape shake estimates each photograph's own kernel in the section around --at.

#include <cctype>
#include <cstdio>
#include <filesystem>

#include "CliArgs.h"
#include "Commands.h"
#include "ImageIO.h"
#include "SessionCliSupport.h"
#include "Timer.h"

namespace velkaro {

namespace {

namespace fs = std::filesystem;

struct DeblurSettings {
    DeblurType type = DeblurNoType;
    int step = 0;
    KernelOptions kernel;
    MaskOptions mask;
    ImageWriteOptions write;
    std::string exiftool;  // empty: no metadata copied
    std::string at;        // --at, where --shape shake estimates the kernel
};

// Deblurs `in` into `out`; false (with a message) on any failure.
bool deblurOne(const std::string& in, const std::string& out, const DeblurSettings& settings,
               const char* command) {
    if (!CheckOutputPath(out, command))
        return false;
    const DeblurType type = settings.type;
    const int step = settings.step;
    KernelOptions kernel = settings.kernel;
    const MaskOptions& mask = settings.mask;
    CliSession cli(command);
    Session& session = cli.session();
    if (!kernel.shake) {
        if (!cli.load(in))
            return false;
    } else {
        // The shake of each photograph is its own, estimated at the point given.
        Rect section;
        CliArgs at;
        at.options["--at"] = settings.at;
        if (cli.loadSection(section, in, at, &kernel) != kExitOk)
            return false;
    }
    std::string tooLarge;
    if (!session.fullDeblurFitsInMemory(step, type, tooLarge, kernel.brightnessOnly)) {
        CliError(kExitFailure, command, "%s", tooLarge.c_str());
        return false;
    }

    Timer timer;
    timer.start();
    DeblurredEntry entry = kernel.entry(type, step);
    entry.maskSettings = MaskSettings{mask.type, mask.radius, mask.opacity, mask.crudeness};
    session.submitDeblur(entry);
    session.waitUntilIdle();
    if (cli.count(SessionEventType::DeblurFailed) != 0) {
        CliError(kExitFailure, command,
                 "the deblur of '%s' failed: the helper program that computes its Fourier "
                 "transforms stopped answering twice",
                 in.c_str());
        return false;
    }
    // The result goes straight into the composite, which is what is saved.
    if (cli.count(SessionEventType::DeblurFinished) != 1 || !session.applyAll(entry)) {
        CliError(kExitFailure, command, "the deblur of '%s' produced no image", in.c_str());
        return false;
    }
    std::fprintf(stderr, "velkaro-cli %s: %s radius %.1f took %.2f seconds\n", command,
                 PresetLabel(type), step * 0.5, timer.elapsed());

    ImageWriteOptions write = settings.write;
    // A file that receives the source's metadata carries the source's colour profile (or none),
    // never an sRGB tag of its own.
    write.srgbTag = settings.exiftool.empty();
    if (!session.saveReconstructedImage(out, write)) {
        CliError(kExitFailure, command, "could not write '%s'", out.c_str());
        return false;
    }
    if (!settings.exiftool.empty() && !CopyMetadata(settings.exiftool, in, out, command))
        return false;
    std::fprintf(stderr, "velkaro-cli %s: wrote %s (%s)\n", command, out.c_str(),
                 write.type.c_str());
    return true;
}

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

int RunDeblur(const std::vector<std::string>& words) {
    const char* command = "deblur";
    std::vector<std::string> known = {"--preset",  "--step",   "--radius", "--copy-metadata",
                                      "--out-dir", "--suffix", "--at"};
    known.insert(known.end(), kKernelOptionNames.begin(), kKernelOptionNames.end());
    known.insert(known.end(), kMaskOptionNames.begin(), kMaskOptionNames.end());
    known.insert(known.end(), kFileTypeOptionNames.begin(), kFileTypeOptionNames.end());
    // --copy-metadata takes no value: turn it into "--copy-metadata=1" before parsing.
    std::vector<std::string> adjusted;
    for (const std::string& word : words)
        adjusted.push_back(word == "--copy-metadata" ? "--copy-metadata=1" : word);

    CliArgs args;
    if (!ParseCliArgs(args, adjusted, known, command, kKernelFlagNames))
        return kExitUsage;
    const bool batch = args.options.count("--out-dir") != 0;
    if (!batch && !ExpectPositional(args, 2, "IN OUT (or IN... --out-dir DIR)", command))
        return kExitUsage;
    if (batch && args.positional.empty())
        return CliError(kExitUsage, command, "expected IN... --out-dir DIR");
    if (!batch && args.options.count("--suffix"))
        return CliError(kExitUsage, command, "--suffix needs --out-dir DIR");

    DeblurSettings settings;
    if (!ParsePresetOption(settings.type, args, command))
        return kExitUsage;
    if (!ParseStep(settings.step, args, command) ||
        !ParseMaskOptions(settings.mask, args, false, command))
        return kExitUsage;
    int status = kExitUsage;
    if (!ParseKernelOptions(settings.kernel, args, command, status))
        return status;
    const auto at = args.options.find("--at");
    if (settings.kernel.shake != (at != args.options.end()))
        return CliError(kExitUsage, command, "--shape shake and --at X,Y go together");
    if (at != args.options.end())
        settings.at = at->second;
    // In a batch the names are made here: the type is --type's, else the input's when the tool
    // writes it, else PNG.
    if (!ParseWriteOptions(settings.write, args, batch ? std::string() : args.positional[1],
                           command))
        return kExitUsage;
    const bool copyMetadata = args.options.count("--copy-metadata") != 0;
    if (copyMetadata && args.options.at("--copy-metadata") != "1")
        return CliError(kExitUsage, command, "--copy-metadata takes no value");
    if (copyMetadata && (settings.exiftool = FindExiftool()).empty())
        return CliError(kExitFailure, command,
                        "--copy-metadata needs exiftool, which was not found");

    if (!batch)
        return deblurOne(args.positional[0], args.positional[1], settings, command) ? kExitOk
                                                                                    : kExitFailure;

    const fs::path folder = args.options.at("--out-dir");
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return CliError(kExitFailure, command, "--out-dir '%s' is not a folder", folder.c_str());
    const auto suffix = args.options.find("--suffix");
    const bool typeGiven = args.options.count("--type") != 0;
    std::vector<std::string> failed;
    for (const std::string& in : args.positional) {
        DeblurSettings one = settings;
        if (!typeGiven) {
            const std::string ext = fs::path(in).extension().string();
            std::string upper = ext;
            for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
            one.write.type = upper == ".JPG" || upper == ".JPEG"   ? "JPEG"
                             : upper == ".TIF" || upper == ".TIFF" ? "TIFF"
                                                                   : "PNG";
        }
        const fs::path out =
            folder / (fs::path(in).stem().string() +
                      (suffix == args.options.end() ? std::string() : suffix->second) +
                      extensionFor(one.write.type, in));
        if (fs::exists(out, ec) && fs::equivalent(out, in, ec)) {
            CliError(kExitFailure, command,
                     "not deblurring '%s': it would be written over itself (give --suffix)",
                     in.c_str());
            failed.push_back(in);
            continue;
        }
        std::fprintf(stderr, "velkaro-cli %s: %s -> %s\n", command, in.c_str(), out.c_str());
        if (!deblurOne(in, out.string(), one, command))
            failed.push_back(in);
    }
    if (failed.empty())
        return kExitOk;
    std::string names;
    for (const std::string& name : failed) names += (names.empty() ? "'" : ", '") + name + "'";
    return CliError(kExitFailure, command, "%zu of %zu photographs failed: %s", failed.size(),
                    args.positional.size(), names.c_str());
}

}  // namespace velkaro
