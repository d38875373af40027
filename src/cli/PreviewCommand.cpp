// velkaro-cli preview IN OUT --preset NAME --step N --at X,Y [kernel options] [mask options]
// [--artefacts MAP] [file type options]: the one preview cell of the 512 × 512 section around the
// point (a disc kernel unless the kernel options name another), computed through the preview queue
// and written as the preview fetch returns it (mask applied); with --artefacts also the unmasked
// cell tinted where it rings or haloes and where it amplifies noise (the score's terms).

#include <cstdio>

#include "CandidateScore.h"
#include "CliArgs.h"
#include "Commands.h"
#include "ImageIO.h"
#include "SessionCliSupport.h"

namespace velkaro {

int RunPreview(const std::vector<std::string>& words) {
    const char* command = "preview";
    std::vector<std::string> known = {"--preset", "--step", "--radius", "--at", "--artefacts"};
    known.insert(known.end(), kKernelOptionNames.begin(), kKernelOptionNames.end());
    known.insert(known.end(), kMaskOptionNames.begin(), kMaskOptionNames.end());
    known.insert(known.end(), kFileTypeOptionNames.begin(), kFileTypeOptionNames.end());
    CliArgs args;
    if (!ParseCliArgs(args, words, known, command, kKernelFlagNames) ||
        !ExpectPositional(args, 2, "IN OUT", command))
        return kExitUsage;
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];

    DeblurType type = DeblurNoType;
    if (!ParsePresetOption(type, args, command))
        return kExitUsage;
    int step = 0, status = kExitUsage;
    MaskOptions mask;
    ImageWriteOptions write;
    KernelOptions kernel;
    if (!ParseStep(step, args, command) || !ParseMaskOptions(mask, args, true, command) ||
        !ParseWriteOptions(write, args, out, command))
        return kExitUsage;
    if (!ParseKernelOptions(kernel, args, command, status))
        return status;
    if (!args.options.count("--at"))
        return CliError(kExitUsage, command, "--at X,Y is required");
    if (!CheckOutputPath(out, command))
        return kExitFailure;
    const auto artefacts = args.options.find("--artefacts");
    if (artefacts != args.options.end() && !CheckOutputPath(artefacts->second, command))
        return kExitFailure;

    CliSession cli(command);
    Session& session = cli.session();
    Rect section;
    if (const int loaded = cli.loadSection(section, in, args, &kernel); loaded != kExitOk)
        return loaded;
    cli.expectPreviews(1);
    session.setBrightnessOnly(kernel.brightnessOnly);
    session.deblurPreviewAngleStep(step, type, kernel.kernel, section);
    session.waitUntilIdle();

    const DeblurredEntry entry = kernel.entry(type, step);
    ImageRef preview =
        session.deblurredPreview(entry, mask.radius, mask.type, mask.opacity, mask.crudeness);
    if (!preview)
        return CliError(kExitFailure, command, "the preview was not computed");
    if (!ImageIO::sharedInstance().writeImage(preview, write, out))
        return CliError(kExitFailure, command, "could not write '%s'", out.c_str());
    std::fprintf(stderr, "velkaro-cli %s: wrote %s\n", command, out.c_str());

    if (artefacts != args.options.end()) {
        ImageRef candidate = session.deblurredPreview(entry, 0, -1, 0, 0);
        const CImage original = candidate ? OriginalSection(*session.original(), section,
                                                            candidate->width(), candidate->height())
                                          : CImage();
        if (!original.pixels())
            return CliError(kExitFailure, command, "could not read the original section");
        const std::string& mapPath = artefacts->second;
        if (!ImageIO::sharedInstance().writeImage(
                ArtefactMap(CImage(ImageAtDepth(original.asImage(), 8)),
                            CImage(ImageAtDepth(candidate, 8)), step * 0.5, kernel.kernel),
                mapPath))
            return CliError(kExitFailure, command, "could not write '%s'", mapPath.c_str());
        std::fprintf(stderr, "velkaro-cli %s: wrote %s\n", command, mapPath.c_str());
    }
    return kExitOk;
}

}  // namespace velkaro
