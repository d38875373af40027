// velkaro-cli replay RECIPE [IN] OUT [--without-strokes] [file options]: does again what a recipe
// records (its full deblurs, strokes and Apply to all, in order) on the recipe's photograph or on
// IN, and saves the composite as the recipe says unless OUT's name or the options say otherwise.
// With --out-dir DIR, every IN in turn (each with all cores), skipping outputs newer than their
// input unless --force.

#include <cstdio>
#include <filesystem>

#include "CliArgs.h"
#include "Commands.h"
#include "Exiftool.h"
#include "ImageIO.h"
#include "RecipeFile.h"
#include "SessionCliSupport.h"

namespace velkaro {

namespace {

namespace fs = std::filesystem;

struct ReplaySettings {
    Recipe recipe;
    bool withoutStrokes = false;
    std::string exiftool;  // empty: no metadata copied
};

// The photograph a recipe names: its recorded path when that file is there, else its name
// beside the recipe.
std::string recipeSourcePath(const Recipe& recipe, const std::string& recipePath) {
    std::error_code ec;
    if (!recipe.source.path.empty() && fs::is_regular_file(recipe.source.path, ec))
        return recipe.source.path;
    return (fs::path(recipePath).parent_path() / recipe.source.name).string();
}

bool replayOne(const std::string& in, const std::string& out, const ImageWriteOptions& write,
               const ReplaySettings& settings, const char* command) {
    if (!CheckOutputPath(out, command))
        return false;
    const Recipe& recipe = settings.recipe;
    CliSession cli(command);
    Session& session = cli.session();
    if (!cli.load(in))
        return false;
    const int width = session.original()->width(), height = session.original()->height();
    const bool sameSize = width == recipe.source.width && height == recipe.source.height;
    if (!sameSize && recipe.hasStrokes() && !settings.withoutStrokes) {
        CliError(kExitFailure, command,
                 "the recipe's strokes were painted on a %d x %d photograph and '%s' is %d x %d: "
                 "nothing written (--without-strokes replays the deblurs and Apply to all only)",
                 recipe.source.width, recipe.source.height, in.c_str(), width, height);
        return false;
    }
    if (FileSha256(in) != recipe.source.sha256)
        std::fprintf(stderr,
                     "velkaro-cli %s: '%s' is not the recipe's photograph '%s': its operations "
                     "are done on these pixels\n",
                     command, in.c_str(), recipe.source.name.c_str());

    Recipe used = recipe;
    if (settings.withoutStrokes)
        std::erase_if(used.operations, [](const RecipeOperation& op) {
            return op.kind == RecipeOperation::Kind::Stroke;
        });
    std::string message;
    if (!ReplayRecipeDeblurs(session, used, message)) {
        CliError(kExitFailure, command, "%s: %s", in.c_str(), message.c_str());
        return false;
    }
    for (const RecipeOperation& operation : used.operations)
        ReplayRecipeOperation(session, used, operation);

    return SaveComposite(session, in, out, write, settings.exiftool, command);
}

}  // namespace

int RunReplay(const std::vector<std::string>& words) {
    const char* command = "replay";
    std::vector<std::string> known = {"--without-strokes", "--out-dir", "--suffix", "--force"};
    known.insert(known.end(), kFileTypeOptionNames.begin(), kFileTypeOptionNames.end());
    CliArgs args;
    if (!ParseCliArgs(args, words, known, command, {"--without-strokes", "--force"}))
        return kExitUsage;
    const bool batch = args.options.count("--out-dir") != 0;
    const std::vector<std::string>& p = args.positional;
    if (batch ? p.size() < 2 : p.size() < 2 || p.size() > 3)
        return CliError(kExitUsage, command,
                        "expected RECIPE [IN] OUT, or RECIPE IN... --out-dir DIR");
    if (!batch && (args.options.count("--suffix") || args.options.count("--force")))
        return CliError(kExitUsage, command, "--suffix and --force go with --out-dir DIR");

    ReplaySettings settings;
    settings.withoutStrokes = args.options.count("--without-strokes") != 0;
    RecipeError error;
    if (!ReadRecipeFile(settings.recipe, p[0], error))
        return CliError(kExitFailure, command, "cannot use '%s' as a recipe: %s", p[0].c_str(),
                        error.text().c_str());
    const RecipeSave& save = settings.recipe.save;
    if (save.copyMetadata && (settings.exiftool = FindExiftool()).empty())
        std::fprintf(stderr,
                     "velkaro-cli %s: exiftool not found: the metadata is not copied as the "
                     "recipe asks\n",
                     command);

    // The recipe's save options, unless the output's name or an option chooses others.
    const std::string out = batch ? std::string() : p.back();
    ImageWriteOptions write;
    if (!ParseWriteOptions(write, args, out, command))
        return kExitUsage;
    if (!args.options.count("--type") && (batch || fs::path(out).extension().empty()))
        write.type = save.type;
    if (!args.options.count("--quality"))
        write.quality = save.quality;
    if (!args.options.count("--tiff-compression"))
        write.compressTiff = save.compressTiff;
    if (!args.options.count("--depth") && write.type != "JPEG")
        write.depth = save.depth;

    if (!batch) {
        const std::string in = p.size() == 3 ? p[1] : recipeSourcePath(settings.recipe, p[0]);
        return replayOne(in, out, write, settings, command) ? kExitOk : kExitFailure;
    }
    const std::vector<std::string> inputs(p.begin() + 1, p.end());
    return RunBatch(inputs, args, write, args.options.count("--type") != 0,
                    !args.options.count("--force"), command,
                    [&](const std::string& in, const std::string& o, const ImageWriteOptions& w) {
                        return replayOne(in, o, w, settings, command);
                    });
}

}  // namespace velkaro
