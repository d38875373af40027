// velkaro-cli preview IN OUT --preset NAME --step N --at X,Y [--angle DEG] [mask options]
// [file type options]: the one preview cell of the 512 × 512 section around the point (a disc
// kernel unless an angle is given), computed through the preview queue and written as the preview
// fetch returns it (mask applied).

#include <cstdio>

#include "CliArgs.h"
#include "Commands.h"
#include "ImageIO.h"
#include "SessionCliSupport.h"

int RunPreview(const std::vector<std::string>& words) {
    const char* command = "preview";
    std::vector<std::string> known = {"--preset", "--step", "--radius", "--at", "--angle"};
    known.insert(known.end(), kMaskOptionNames.begin(), kMaskOptionNames.end());
    known.insert(known.end(), kFileTypeOptionNames.begin(), kFileTypeOptionNames.end());
    CliArgs args;
    if (!ParseCliArgs(args, words, known, command) ||
        !ExpectPositional(args, 2, "IN OUT", command))
        return kExitUsage;
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];

    DeblurType type = DeblurNoType;
    if (!ParsePresetOption(type, args, command)) return kExitUsage;
    int step = 0, angle = -1;
    MaskOptions mask;
    ImageWriteOptions write;
    if (!ParseStep(step, args, command) ||
        !IntOption(angle, args, "--angle", -1, 359, -1, command) ||
        !ParseMaskOptions(mask, args, true, command) ||
        !ParseWriteOptions(write, args, out, command))
        return kExitUsage;
    if (!args.options.count("--at")) return CliError(kExitUsage, command, "--at X,Y is required");
    if (!CheckOutputPath(out, command)) return kExitFailure;

    CliSession cli(command);
    Session& session = cli.session();
    if (!cli.load(in)) return kExitFailure;
    Rect section;
    if (!cli.sectionAt(section, args)) return kExitUsage;
    cli.expectPreviews(1);
    session.deblurPreviewAngleStep(step, type, angle, section);
    cli.waitForPreviews();

    const DeblurredEntry entry{type, step, angle, MaskSettings{}};
    ImageRef preview =
        session.deblurredPreview(entry, mask.radius, mask.type, mask.opacity, mask.crudeness);
    if (!preview) return CliError(kExitFailure, command, "the preview was not computed");
    if (!ImageIO::sharedInstance().writeImage(preview, write, out))
        return CliError(kExitFailure, command, "could not write '%s'", out.c_str());
    std::fprintf(stderr, "velkaro-cli %s: wrote %s\n", command, out.c_str());
    return kExitOk;
}
