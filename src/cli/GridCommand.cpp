// velkaro-cli grid IN OUT --at X,Y [--presets LIST|all] [--steps N] [kernel options | --estimate]
// [--rank] [--crop N]: the previews of the section around the point for the chosen presets at
// radius steps 1 to N, computed through the preview queue as one request (RL80's runs fill RL40's
// and RL20's cells on their way, as in the window's grid), written as one contact sheet laid out
// like the application's grid. The kernel is the disc, the line at --angle, a kernel picture
// scaled to each row's radius, or the section's estimate: the parametric disc or line, or the
// blind estimate of a kernel of any shape when that fit is poor or with --shape shake (the
// estimate's line goes to standard error; without --steps the rows then reach one step past the
// estimated radius). With --rank every cell is scored against the original
// section, the best three carry a rank badge and the cells are printed best first, one line each:
// preset, step, score, detail %, halo, noise. Each cell shows the centre N × N pixels of its
// preview (--crop 0: the whole preview shrunk), beside the original's same pixels.

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "CandidateScore.h"
#include "CliArgs.h"
#include "Commands.h"
#include "ContactSheet.h"
#include "ImageIO.h"
#include "SectionKernel.h"
#include "SessionCliSupport.h"
#include "Timer.h"

namespace velkaro {

namespace {

// Whole-section thumbnails (--crop 0) are this size.
constexpr int kThumbnailSize = 128;
constexpr std::size_t kRankBadges = 3;

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
        if (!ParsePresetName(type, name, command))
            return false;
        if (std::find(out.begin(), out.end(), type) == out.end())
            out.push_back(type);
    }
    if (out.empty()) {
        CliError(kExitUsage, command, "--presets names no preset");
        return false;
    }
    return true;
}

// Takes every cell's score (the session scores each preview against the original section as it
// stores it), numbers the best kRankBadges and prints all of them best first on standard output.
// Where no cell scores above the original section itself, the original ranks first: it is printed
// first as the pass-through FR at the row its score was taken at (`originalRow`, else -1), and
// carries the first badge.
bool rankCells(std::vector<ContactSheetCell>& cells, int& originalRow,
               const std::vector<DeblurType>& presets, Session& session,
               const KernelOptions& kernel, const char* command) {
    std::vector<CandidateScore> scores;
    std::vector<DeblurredEntry> entries;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const DeblurType type = presets[cells[i].column];
        const int step = cells[i].row + 1;
        entries.push_back(kernel.entry(type, step));
        const auto score = session.previewScore(entries.back());
        if (!score) {
            CliError(kExitFailure, command, "the preview %s radius %.1f has no score",
                     PresetLabel(type), step * 0.5);
            return false;
        }
        scores.push_back(*score);
    }
    const bool little = LittleToGain(scores);
    const std::vector<std::size_t> order =
        RankCandidates(scores, kScoreWeights, PlainVariantIndices(entries));
    originalRow = -1;
    if (little && !order.empty()) {
        std::fprintf(stderr,
                     "velkaro-cli %s: no cell scores above the original section: little "
                     "to gain here, best left as it is (FR), then the gentlest cells\n",
                     command);
        const std::size_t basis = OriginalBasis(scores);
        originalRow = cells[basis].row;
        // The cells' totals below are taken as in a section without blur; the original's line
        // keeps the list's order.
        const double total = std::max(OriginalTotal(scores[basis], kScoreWeights),
                                      RankingTotal(scores[order.front()], little));
        std::printf("%s %d %.3f %.1f %.2f %.2f\n", PresetLabel(DeblurFR), originalRow + 1, total,
                    0.0, 0.0, 0.0);
    }
    for (std::size_t r = 0; r < order.size(); ++r) {
        ContactSheetCell& cell = cells[order[r]];
        const CandidateScore& s = scores[order[r]];
        const std::size_t rank = r + 1 + (little ? 1 : 0);
        if (rank <= kRankBadges)
            cell.rank = int(rank);
        std::printf("%s %d %.3f %.1f %.2f %.2f\n", PresetLabel(presets[cell.column]), cell.row + 1,
                    RankingTotal(s, little), s.detail * 100, s.halo, s.noise);
    }
    std::fflush(stdout);
    return true;
}

}  // namespace

int RunGrid(const std::vector<std::string>& words) {
    const char* command = "grid";
    CliArgs args;
    std::vector<std::string> known = {"--at",       "--presets", "--steps",
                                      "--estimate", "--rank",    "--crop"};
    known.insert(known.end(), kKernelOptionNames.begin(), kKernelOptionNames.end());
    known.insert(known.end(), kFileTypeOptionNames.begin(), kFileTypeOptionNames.end());
    std::vector<std::string> flags = {"--estimate", "--rank"};
    flags.insert(flags.end(), kKernelFlagNames.begin(), kKernelFlagNames.end());
    if (!ParseCliArgs(args, words, known, command, flags) ||
        !ExpectPositional(args, 2, "IN OUT", command))
        return kExitUsage;
    const bool estimate = args.options.count("--estimate") != 0;
    if (estimate && (args.options.count("--angle") || args.options.count("--shape") ||
                     args.options.count("--kernel")))
        return CliError(kExitUsage, command,
                        "--estimate chooses the kernel: no --angle, --shape or --kernel with it");
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];
    std::vector<DeblurType> presets;
    int steps = 0, crop = 0, status = kExitUsage;
    ImageWriteOptions write;
    KernelOptions kernel;
    if (!parsePresets(presets, args, command) ||
        !IntOption(steps, args, "--steps", 1, 30, 15, command) ||
        !IntOption(crop, args, "--crop", 0, 512, 192, command) ||
        !ParseWriteOptions(write, args, out, command))
        return kExitUsage;
    if (!ParseKernelOptions(kernel, args, command, status))
        return status;
    if (!args.options.count("--at"))
        return CliError(kExitUsage, command, "--at X,Y is required");
    if (!CheckOutputPath(out, command))
        return kExitFailure;

    CliSession cli(command);
    Session& session = cli.session();
    Rect section;
    BlurEstimate blur;
    if (const int loaded = cli.loadSection(section, in, args, &kernel, &blur); loaded != kExitOk)
        return loaded;
    if (estimate || kernel.shake) {
        if (!kernel.shake) {
            blur = EstimateSectionKernel(*session.original(), RegionOf(section));
            std::fprintf(stderr, "velkaro-cli %s: %s\n", command, EstimateLine(blur).c_str());
            kernel.kernel = blur.blurKernel();
        }
        if (!args.options.count("--steps"))
            steps = std::clamp(blur.radiusStep + 1, steps, 30);
    }
    session.setBrightnessOnly(kernel.brightnessOnly);
    std::fprintf(stderr, "velkaro-cli %s: %zu presets x %d steps\n", command, presets.size(),
                 steps);
    Timer timer;
    timer.start();
    cli.expectPreviews(int(presets.size()) * steps);
    session.deblurPreviewColumnsUpToStep(steps, presets, kernel.kernel, section);
    session.waitUntilIdle();
    std::fprintf(stderr, "velkaro-cli %s: %d previews took %.2f seconds\n", command,
                 cli.count(SessionEventType::PreviewFinished), timer.elapsed());

    std::vector<std::string> rowLabels, columnLabels;
    for (int step = 1; step <= steps; ++step) {
        char label[16];
        std::snprintf(label, sizeof label, "%.1f", DrawnRadius(step * 0.5, kernel.kernel));
        rowLabels.push_back(label);
    }
    std::vector<ContactSheetCell> cells;
    for (std::size_t c = 0; c < presets.size(); ++c) {
        columnLabels.push_back(PresetLabel(presets[c]));
        for (int step = 1; step <= steps; ++step) {
            ImageRef preview =
                session.deblurredPreview(kernel.entry(presets[c], step), 0, -1, 0, 0);
            if (!preview)
                return CliError(kExitFailure, command, "the preview %s radius %.1f is missing",
                                PresetLabel(presets[c]), step * 0.5);
            cells.push_back({step - 1, int(c), preview});
        }
    }
    int originalRow = -1;
    if (args.options.count("--rank") &&
        !rankCells(cells, originalRow, presets, session, kernel, command))
        return kExitFailure;
    // Each cell shows the centre of its preview at full size, or (--crop 0) the whole preview
    // shrunk; the first column is the original's same pixels. The sheet is a picture of 8 bits.
    auto shown = [crop](const ImageRef& preview) {
        const ImageRef narrow = ImageAtDepth(preview, 8);
        return crop > 0 ? CropCentre(*narrow, crop) : narrow;
    };
    for (ContactSheetCell& cell : cells) {
        cell.image = shown(cell.image);
        ++cell.column;
    }
    const ImageRef original =
        shown(CropImage(*ImageAtDepth(session.original()->asImage(), 8), int(section.x),
                        int(section.y), int(section.width), int(section.height)));
    columnLabels.insert(columnLabels.begin(), "original");
    for (int step = 1; step <= steps; ++step)
        cells.push_back({step - 1, 0, original, step - 1 == originalRow ? 1 : 0});
    ImageRef sheet =
        MakeContactSheet(rowLabels, columnLabels, cells, crop > 0 ? crop : kThumbnailSize);
    if (!ImageIO::sharedInstance().writeImage(sheet, write, out))
        return CliError(kExitFailure, command, "could not write '%s'", out.c_str());
    std::fprintf(stderr, "velkaro-cli %s: wrote %s (%d x %d)\n", command, out.c_str(),
                 sheet->width(), sheet->height());
    return kExitOk;
}

}  // namespace velkaro
