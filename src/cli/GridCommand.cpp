// velkaro-cli grid IN OUT --at X,Y [--presets LIST|all] [--steps N] [--angle DEG | --estimate]
// [--crop N]: the previews of the section around the point for the chosen presets at radius steps
// 1 to N, computed through the preview queue, written as one contact sheet laid out like the
// application's grid, with the original as its first column.
// The kernel is the disc, the line at --angle, or the shape and angle of the section's blur
// estimate (whose line goes to standard error; without --steps the rows then reach one step past
// the estimated radius).

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "BlurEstimate.h"
#include "CliArgs.h"
#include "Commands.h"
#include "ContactSheet.h"
#include "ImageIO.h"
#include "SessionCliSupport.h"
#include "Timer.h"

namespace {

// Whole-section thumbnails (--crop 0) are this size.
constexpr int kThumbnailSize = 128;

bool parsePresets(std::vector<DeblurType>& out, const CliArgs& args, const char* command) {
    out.clear();
    const auto found = args.options.find("--presets");
    if (found == args.options.end() || found->second == "all") {
        for (int t = 0; t < kGridDeblurTypes; ++t) out.push_back(DeblurType(t));
        return true;
    }
    std::stringstream list(found->second);
    std::string name;
    while (std::getline(list, name, ',')) {
        DeblurType type;
        if (!ParsePresetName(type, name, command)) return false;
        if (std::find(out.begin(), out.end(), type) == out.end()) out.push_back(type);
    }
    if (out.empty()) {
        CliError(kExitUsage, command, "--presets names no preset");
        return false;
    }
    return true;
}

}  // namespace

int RunGrid(const std::vector<std::string>& words) {
    const char* command = "grid";
    // --estimate takes no value: turn it into "--estimate=1" before parsing.
    std::vector<std::string> adjusted;
    for (const std::string& word : words) adjusted.push_back(word == "--estimate" ? "--estimate=1" : word);
    CliArgs args;
    std::vector<std::string> known = {"--at", "--presets", "--steps", "--angle", "--estimate",
                                      "--crop"};
    known.insert(known.end(), kFileTypeOptionNames.begin(), kFileTypeOptionNames.end());
    if (!ParseCliArgs(args, adjusted, known, command) ||
        !ExpectPositional(args, 2, "IN OUT", command))
        return kExitUsage;
    const bool estimate = args.options.count("--estimate") != 0;
    if (estimate && args.options.at("--estimate") != "1")
        return CliError(kExitUsage, command, "--estimate takes no value");
    if (estimate && args.options.count("--angle"))
        return CliError(kExitUsage, command, "--angle and --estimate exclude each other");
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];
    std::vector<DeblurType> presets;
    int steps = 0, angle = -1, crop = 0;
    ImageWriteOptions write;
    if (!parsePresets(presets, args, command) ||
        !IntOption(steps, args, "--steps", 1, 30, 15, command) ||
        !IntOption(angle, args, "--angle", -1, 359, -1, command) ||
        !IntOption(crop, args, "--crop", 0, 512, 192, command) ||
        !ParseWriteOptions(write, args, out, command))
        return kExitUsage;
    if (!args.options.count("--at")) return CliError(kExitUsage, command, "--at X,Y is required");
    if (!CheckOutputPath(out, command)) return kExitFailure;

    CliSession cli(command);
    Session& session = cli.session();
    if (!cli.load(in)) return kExitFailure;
    Rect section;
    if (!cli.sectionAt(section, args)) return kExitUsage;
    if (estimate) {
        const BlurEstimate blur = EstimateSection(cli, section);
        std::fprintf(stderr, "velkaro-cli %s: %s\n", command, EstimateLine(blur).c_str());
        angle = blur.shape == BlurShape::Motion ? blur.angle : -1;
        if (!args.options.count("--steps")) steps = std::clamp(blur.radiusStep + 1, steps, 30);
    }
    std::fprintf(stderr, "velkaro-cli %s: %zu presets x %d steps\n", command, presets.size(),
                 steps);
    Timer timer;
    timer.start();
    cli.expectPreviews(int(presets.size()) * steps);
    for (DeblurType type : presets) session.deblurPreviewAngleUpToStep(steps, type, angle, section);
    cli.waitForPreviews();
    std::fprintf(stderr, "velkaro-cli %s: %d previews took %.2f seconds\n", command,
                 cli.count(PreviewFinished), timer.elapsed());

    std::vector<std::string> rowLabels, columnLabels;
    for (int step = 1; step <= steps; ++step) {
        char label[16];
        std::snprintf(label, sizeof label, "%.1f", step * 0.5);
        rowLabels.push_back(label);
    }
    // Each cell shows the centre of its preview at full size, or (--crop 0) the whole preview
    // shrunk; the first column is the original's same pixels.
    auto shown = [crop](const ImageRef& preview) {
        return crop > 0 ? CropCentre(*preview, crop) : preview;
    };
    const ImageRef original =
        CropImage(*session.mOriginalImage->asImage(), int(section.x), int(section.y),
                  int(section.width), int(section.height));
    std::vector<ContactSheetCell> cells;
    columnLabels.push_back("original");
    for (int step = 1; step <= steps; ++step) cells.push_back({step - 1, 0, shown(original)});
    for (std::size_t c = 0; c < presets.size(); ++c) {
        columnLabels.push_back(PresetLabel(presets[c]));
        for (int step = 1; step <= steps; ++step) {
            ImageRef preview =
                session.deblurredPreview(DeblurredEntry{presets[c], step, angle, MaskSettings{}}, 0,
                                         -1, 0, 0);
            if (!preview)
                return CliError(kExitFailure, command, "the preview %s radius %.1f is missing",
                                PresetLabel(presets[c]), step * 0.5);
            cells.push_back({step - 1, int(c) + 1, shown(preview)});
        }
    }
    ImageRef sheet =
        MakeContactSheet(rowLabels, columnLabels, cells, crop > 0 ? crop : kThumbnailSize);
    if (!ImageIO::sharedInstance().writeImage(sheet, write, out))
        return CliError(kExitFailure, command, "could not write '%s'", out.c_str());
    std::fprintf(stderr, "velkaro-cli %s: wrote %s (%d x %d)\n", command, out.c_str(),
                 sheet->width(), sheet->height());
    return kExitOk;
}
