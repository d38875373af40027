// velkaro-cli: the system's image operations from the command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "Commands.h"
#include "Log.h"

using namespace velkaro;

namespace {

// One row per subcommand.
const CliCommand kCommands[] = {
    {"info", "FILE",
     "print the format, width, height and depth of FILE as the application decodes it", RunInfo},
    {"convert", "IN OUT [file options]", "decode IN and write it to OUT", RunConvert},
    {"deblur",
     "IN OUT --preset NAME (--step N | --radius R) [kernel options] [--mask A|B|C --mask-radius R "
     "--mask-opacity O --mask-crudeness C] [file options] [--copy-metadata] [--recipe FILE]",
     "deblur the whole of IN with one preset and save it as OUT; --copy-metadata copies IN's "
     "metadata and colour profile with exiftool; --recipe writes what was done as a recipe "
     "(see replay)",
     RunDeblur},
    {"deblur", "IN... --out-dir DIR --preset NAME (--step N | --radius R) [--suffix TEXT] [...]",
     "deblur each IN in turn into DIR as NAME+TEXT (type from --type, else IN's own, else PNG); "
     "one that fails is reported and the others go on; the exit status says whether any failed",
     nullptr},
    {"preview",
     "IN OUT --preset NAME (--step N | --radius R) --at X,Y [kernel options] [mask options] "
     "[--artefacts MAP.png] [file options]",
     "compute one preview cell of the 512 x 512 section around X,Y and write it; "
     "--artefacts also writes the cell tinted where it rings or haloes (red) or amplifies noise "
     "(blue)",
     RunPreview},
    {"grid",
     "IN OUT --at X,Y [--presets LIST|all] [--steps N] [kernel options | --estimate] [--rank] "
     "[--crop N] [file options]",
     "compute the preview grid of the section around X,Y (radius steps 1 to N, default 15) and "
     "write it as one labelled contact sheet: each cell the centre N x N pixels of its preview at "
     "full size (default 192; 0 shows whole previews shrunk), the original's first; --estimate "
     "takes the kernel from the blur estimate (the blind one where it fits clearly better); "
     "--rank scores the cells, badges "
     "the best three and prints every cell best first: preset step score detail% halo noise",
     RunGrid},
    {"estimate", "IN --at X,Y [--kernel-out K.png]",
     "estimate the blur of the section around X,Y; prints 'shape=disc|motion|none radius=R "
     "angle=A confidence=C', or 'shape=shake size=S confidence=C' (S the kernel's side in "
     "pixels) for a kernel of another shape; --kernel-out writes the kernel as a 16-bit grey PNG",
     RunEstimate},
    {"replay", "RECIPE [IN] OUT [--without-strokes] [file options]",
     "do again what RECIPE (a NAME.velkaro.json) records, on its photograph or on IN, and save "
     "it as OUT (type, quality and metadata copy as the recipe says unless given); strokes need "
     "a photograph of the recipe's size, --without-strokes replays the deblurs and Apply to all "
     "only",
     RunReplay},
    {"replay",
     "RECIPE --without-strokes IN... --out-dir DIR [--suffix TEXT] [--force] [file options]",
     "replay RECIPE on each IN in turn into DIR as NAME+TEXT; an output newer than its input is "
     "kept (--force redoes it), so an interrupted batch resumes",
     nullptr},
};

void printUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: velkaro-cli COMMAND ARGUMENTS... [--verbose]\n"
                 "       velkaro-cli --version\n\n"
                 "--verbose also shows the processing's own log lines\n\ncommands:\n");
    for (const CliCommand& command : kCommands) {
        std::fprintf(to, "  %s %s\n      %s\n", command.name, command.usage, command.summary);
    }
    std::fprintf(
        to,
        "\npresets (--preset, --presets):\n"
        "  USM1..USM5 unsharp mask (8-bit), USMF1..USMF5 unsharp mask (floating point),\n"
        "  WF2 WF3 Wiener filter (finite), WI2 WI3 Wiener filter (Fourier), RL20 RL40 RL80\n"
        "  Richardson-Lucy, RT20 RT40 RT80 Richardson-Lucy on textured areas, LA1 LA2 least\n"
        "  squares, FR pass-through (the photograph unchanged), blur (simulates the blur instead\n"
        "  of removing it, at the same radius)\n"
        "\nblur radius: --radius R in pixels, 0.5 to 15 in steps of 0.5, or --step N = 2R, 1 to "
        "30\n"
        "\nkernel options: --shape disc|motion|shake (shake: estimated at --at), --angle DEG "
        "(motion), --kernel K.png (a kernel picture), --luma (sharpen brightness only); a "
        "kernel picture wider than radius 15 is used at its own size at radius 15 and in "
        "proportion below\n"
        "\nangles (--angle, estimate): degrees counter-clockwise from the horizontal, as a "
        "protractor on the photo reads them (a streak rising to the right is 30)\n"
        "\nfile options: the type follows OUT's extension (.png, .jpg/.jpeg, .tif/.tiff);\n"
        "  --type PNG|JPEG|TIFF only for a name without extension, or agreeing with it;\n"
        "  --quality 1-100 (JPEG, default 90); --tiff-compression deflate|none (default "
        "deflate)\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "velkaro-cli: no command given (try 'velkaro-cli help')\n");
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        printUsage(stdout);
        return kExitOk;
    }
    if (name == "--version" || name == "version") {
        std::printf("velkaro-cli %s\n", VELKARO_VERSION);
        return kExitOk;
    }
    // The processing's log lines (on standard error) only when asked for; the tool's own lines
    // are always shown.
    std::vector<std::string> words;
    bool verbose = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") == 0)
            verbose = true;
        else
            words.push_back(argv[i]);
    }
    SetLogLevel(verbose ? LogLevel::Info : LogLevel::Warning);
    for (const CliCommand& command : kCommands) {
        if (name == command.name && command.run)
            return command.run(words);
    }
    std::fprintf(stderr, "velkaro-cli: unknown command '%s' (try 'velkaro-cli help')\n",
                 name.c_str());
    return kExitUsage;
}
