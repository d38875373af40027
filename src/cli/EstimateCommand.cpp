// velkaro-cli estimate IN --at X,Y [--kernel-out K.png]: the blur estimate of the 512 × 512
// section around the point, as one line "shape=disc|motion|none radius=R angle=A confidence=C" on
// standard output (R in pixels, a multiple of 0.5; A in degrees counter-clockwise from the
// horizontal, -1 unless the shape is motion; C from 0 to 1). Unless a disc fits well the blind
// estimate of a kernel of any shape is tried, and a kernel that fits clearly better is printed as
// "shape=shake size=S confidence=C" (S its side in pixels). --kernel-out writes the kernel
// estimated (any shape) as a 16-bit grey PNG.

#include <cstdio>

#include "CliArgs.h"
#include "Commands.h"
#include "Filter.h"
#include "KernelFile.h"
#include "SectionKernel.h"
#include "SessionCliSupport.h"

namespace velkaro {

std::string EstimateLine(const BlurEstimate& estimate) {
    char line[96];
    if (estimate.kernel) {
        std::snprintf(line, sizeof line, "shape=shake size=%d confidence=%.2f",
                      estimate.kernel->size(), estimate.confidence);
        return line;
    }
    std::snprintf(line, sizeof line, "shape=%s radius=%g angle=%d confidence=%.2f",
                  BlurShapeName(estimate.shape), estimate.radiusStep * 0.5,
                  ProtractorAngleFromKernel(estimate.angle), estimate.confidence);
    return line;
}

int RunEstimate(const std::vector<std::string>& words) {
    const char* command = "estimate";
    CliArgs args;
    if (!ParseCliArgs(args, words, {"--at", "--kernel-out"}, command) ||
        !ExpectPositional(args, 1, "IN", command))
        return kExitUsage;
    if (!args.options.count("--at"))
        return CliError(kExitUsage, command, "--at X,Y is required");
    const auto kernelOut = args.options.find("--kernel-out");
    if (kernelOut != args.options.end() && !CheckOutputPath(kernelOut->second, command))
        return kExitFailure;

    CliSession cli(command);
    Rect section;
    if (const int loaded = cli.loadSection(section, args.positional[0], args); loaded != kExitOk)
        return loaded;
    const BlurEstimate blur = EstimateSectionKernel(*cli.session().original(), RegionOf(section));
    std::printf("%s\n", EstimateLine(blur).c_str());
    std::fflush(stdout);
    if (kernelOut == args.options.end())
        return kExitOk;
    const KernelImageRef kernel = blur.kernel ? blur.kernel : KernelOfEstimate(blur);
    if (!kernel)
        return CliError(kExitFailure, command, "no blur found: no kernel written");
    if (!WriteKernelFile(kernelOut->second, *kernel))
        return CliError(kExitFailure, command, "could not write '%s'", kernelOut->second.c_str());
    std::fprintf(stderr, "velkaro-cli %s: wrote %s\n", command, kernelOut->second.c_str());
    return kExitOk;
}

}  // namespace velkaro
