// velkaro-cli deblur IN OUT --preset NAME --step N [--angle DEG] [mask options] [--type T]
// [--quality Q] [--copy-metadata]: one full deblur through the session, applied to the whole
// composite and saved as the application saves it.

#include <cctype>
#include <cstdio>
#include <future>

#include "CliArgs.h"
#include "Commands.h"
#include "ImageIO.h"
#include "SessionCliSupport.h"
#include "Timer.h"

int RunDeblur(const std::vector<std::string>& words) {
    const char* command = "deblur";
    std::vector<std::string> known = {"--preset", "--step",    "--angle",        "--type",
                                      "--quality", "--copy-metadata"};
    known.insert(known.end(), kMaskOptionNames.begin(), kMaskOptionNames.end());
    // --copy-metadata takes no value: turn it into "--copy-metadata=1" before parsing.
    std::vector<std::string> adjusted;
    for (const std::string& word : words)
        adjusted.push_back(word == "--copy-metadata" ? "--copy-metadata=1" : word);

    CliArgs args;
    if (!ParseCliArgs(args, adjusted, known, command) ||
        !ExpectPositional(args, 2, "IN OUT", command))
        return kExitUsage;
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];

    DeblurType type = DeblurNoType;
    if (!ParsePresetOption(type, args, command)) return kExitUsage;
    int step = 0, angle = -1, quality = 90;
    MaskOptions mask;
    if (!ParseStep(step, args, command) ||
        !IntOption(angle, args, "--angle", -1, 359, -1, command) ||
        !IntOption(quality, args, "--quality", 1, 100, 90, command) ||
        !ParseMaskOptions(mask, args, false, command))
        return kExitUsage;
    std::string fileType = "PNG";
    if (const auto t = args.options.find("--type"); t != args.options.end()) {
        fileType = t->second;
        for (char& c : fileType) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (fileType != "PNG" && fileType != "JPEG" && fileType != "TIFF")
            return CliError(kExitUsage, command, "--type must be PNG, JPEG or TIFF, got '%s'",
                            t->second.c_str());
    }
    const bool copyMetadata = args.options.count("--copy-metadata") != 0;
    if (copyMetadata && args.options.at("--copy-metadata") != "1")
        return CliError(kExitUsage, command, "--copy-metadata takes no value");
    std::string exiftool;
    if (copyMetadata && (exiftool = FindExiftool()).empty())
        return CliError(kExitFailure, command, "--copy-metadata needs exiftool, which was not found");
    if (!CheckOutputPath(out, command)) return kExitFailure;

    CliSession cli(command);
    Session& session = cli.session();
    if (!cli.load(in)) return kExitFailure;
    std::string tooLarge;
    if (!session.fullDeblurFitsInMemory(step, type, tooLarge))
        return CliError(kExitFailure, command, "%s", tooLarge.c_str());

    // One task on the global queue, as the window controller submits it.
    Timer timer;
    timer.start();
    std::promise<void> finished;
    dispatchAsync(DispatchPriority::Default, [&] {
        session.deblurStep(step, type, angle, mask.radius, mask.type, mask.opacity,
                           mask.crudeness);
        finished.set_value();
    });
    finished.get_future().wait();
    const DeblurredEntry entry{type, step, angle,
                               MaskSettings{mask.type, mask.radius, mask.opacity, mask.crudeness}};
    ImageRef result = session.deblurredImage(entry);
    if (cli.count(DeblurFailed) != 0)
        return CliError(kExitFailure, command,
                        "the deblur failed: the helper program that computes its Fourier "
                        "transforms stopped answering twice");
    if (!result || cli.count(DeblurFinished) != 1)
        return CliError(kExitFailure, command, "the deblur produced no image");
    std::fprintf(stderr, "velkaro-cli %s: %s radius %.1f took %.2f seconds\n", command,
                 PresetLabel(type), step * 0.5, timer.elapsed());

    session.applyAll(result);
    if (!session.saveReconstructedImage(out, fileType, quality))
        return CliError(kExitFailure, command, "could not write '%s'", out.c_str());
    if (copyMetadata && !CopyMetadata(exiftool, in, out, command)) return kExitFailure;
    std::fprintf(stderr, "velkaro-cli %s: wrote %s (%s)\n", command, out.c_str(),
                 fileType.c_str());
    return kExitOk;
}
