// velkaro-cli estimate IN --at X,Y: the blur estimate of the 512 × 512 section around the point,
// as one line "shape=disc|motion|none radius=R angle=A confidence=C" on standard output (R in
// pixels, a multiple of 0.5; A in degrees counter-clockwise from the
// horizontal, -1 unless the shape is motion; C from 0 to 1).

#include <cstdio>

#include "BlurEstimate.h"
#include "CliArgs.h"
#include "Commands.h"
#include "Filter.h"
#include "SessionCliSupport.h"

namespace velkaro {

std::string EstimateLine(const BlurEstimate& estimate) {
    char line[96];
    std::snprintf(line, sizeof line, "shape=%s radius=%g angle=%d confidence=%.2f",
                  BlurShapeName(estimate.shape), estimate.radiusStep * 0.5,
                  ProtractorAngleFromKernel(estimate.angle), estimate.confidence);
    return line;
}

BlurEstimate EstimateSection(CliSession& cli, const Rect& section) {
    return EstimateBlur(*cli.session().original(), int(section.x), int(section.y),
                        int(section.width), int(section.height));
}

int RunEstimate(const std::vector<std::string>& words) {
    const char* command = "estimate";
    CliArgs args;
    if (!ParseCliArgs(args, words, {"--at"}, command) || !ExpectPositional(args, 1, "IN", command))
        return kExitUsage;
    if (!args.options.count("--at"))
        return CliError(kExitUsage, command, "--at X,Y is required");

    CliSession cli(command);
    if (!cli.load(args.positional[0]))
        return kExitFailure;
    Rect section;
    if (!cli.sectionAt(section, args))
        return kExitUsage;
    std::printf("%s\n", EstimateLine(EstimateSection(cli, section)).c_str());
    return kExitOk;
}

}  // namespace velkaro
