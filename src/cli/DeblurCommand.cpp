// velkaro-cli deblur IN OUT --preset NAME --step N [kernel options] [--at X,Y] [mask options]
// [--type T] [--quality Q] [--copy-metadata]: one full deblur through the session, applied to
// the whole composite and saved as the application saves it. With --out-dir DIR, every IN is
// deblurred in turn into DIR (each with all cores), and a photograph that fails does not stop
// the others. --shape shake estimates each photograph's own kernel in the section around --at.

#include <cstdio>
#include <filesystem>

#include "CliArgs.h"
#include "Commands.h"
#include "ImageIO.h"
#include "RecipeFile.h"
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
    std::string recipe;    // --recipe: where to write the recipe of the result; empty for none
};

// The recipe of one deblur applied to the whole photograph and saved with `write`.
bool writeDeblurRecipe(Session& session, const std::string& in, const DeblurredEntry& entry,
                       const DeblurSettings& settings, const char* command) {
    Recipe recipe;
    if (!RecipeSourceOfFile(recipe.source, in, session.original()->width(),
                            session.original()->height())) {
        CliError(kExitFailure, command, "cannot read '%s' for its recipe", in.c_str());
        return false;
    }
    const ImageWriteOptions& write = settings.write;
    // The result is computed at the photograph's depth and saved at the options' (its own by
    // default, 8 bits in a JPEG).
    const int depth = session.original()->depth();
    recipe.save =
        RecipeSave{write.type, write.quality, write.compressTiff, !settings.exiftool.empty(),
                   write.type == "JPEG" ? 8
                   : write.depth        ? write.depth
                                        : depth};
    RecipeOperation apply;
    apply.kind = RecipeOperation::Kind::ApplyAll;
    recipe.append(apply, entry, depth);
    if (!WriteRecipeFile(settings.recipe, recipe)) {
        CliError(kExitFailure, command, "could not write '%s'", settings.recipe.c_str());
        return false;
    }
    std::fprintf(stderr, "velkaro-cli %s: wrote %s (recipe)\n", command, settings.recipe.c_str());
    return true;
}

// Deblurs `in` into `out`; false (with a message) on any failure.
bool deblurOne(const std::string& in, const std::string& out, const DeblurSettings& settings,
               const char* command) {
    if (!CheckOutputPath(out, command) ||
        (!settings.recipe.empty() && !CheckOutputPath(settings.recipe, command)))
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
    DeblurredEntry entry = kernel.entry(type, step);
    entry.maskSettings = MaskSettings{mask.type, mask.radius, mask.opacity, mask.crudeness};
    std::string tooLarge;
    if (!session.fullDeblurFitsInMemory(entry, tooLarge)) {
        CliError(kExitFailure, command, "%s", tooLarge.c_str());
        return false;
    }

    Timer timer;
    timer.start();
    session.submitDeblur(entry);
    session.waitUntilIdle();
    if (cli.count(SessionEventType::DeblurFailed) != 0) {
        CliError(kExitFailure, command,
                 "the deblur of '%s' failed: the memory ran out, or the helper program that "
                 "computes its Fourier transforms stopped answering twice",
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

    if (!SaveComposite(session, in, out, settings.write, settings.exiftool, command))
        return false;
    return settings.recipe.empty() || writeDeblurRecipe(session, in, entry, settings, command);
}

}  // namespace

int RunDeblur(const std::vector<std::string>& words) {
    const char* command = "deblur";
    std::vector<std::string> known = {"--preset",  "--step",   "--radius", "--copy-metadata",
                                      "--out-dir", "--suffix", "--at",     "--recipe"};
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
    if (batch && args.options.count("--recipe"))
        return CliError(kExitUsage, command, "--recipe FILE is for one photograph, not --out-dir");

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
    if (const auto recipe = args.options.find("--recipe"); recipe != args.options.end())
        settings.recipe = recipe->second;
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

    return RunBatch(
        args.positional, args, settings.write, args.options.count("--type") != 0, false, command,
        [&](const std::string& in, const std::string& out, const ImageWriteOptions& write) {
            DeblurSettings one = settings;
            one.write = write;
            return deblurOne(in, out, one, command);
        });
}

}  // namespace velkaro
