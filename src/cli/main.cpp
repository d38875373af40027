// velkaro-cli: the system's image operations from the command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "Commands.h"
#include "Log.h"

namespace {

// One row per subcommand.
const CliCommand kCommands[] = {
    {"info", "FILE", "print the format, width and height of FILE as the application decodes it",
     RunInfo},
    {"convert", "IN OUT [--type PNG|JPEG|TIFF] [--quality 1-100]",
     "decode IN and write it to OUT (type from OUT's extension unless given; JPEG quality 90 "
     "unless given)",
     RunConvert},
    {"deblur",
     "IN OUT --preset NAME --step N [--angle DEG] [--mask A|B|C --mask-radius R --mask-opacity O "
     "--mask-crudeness C] [--type PNG|JPEG|TIFF] [--quality Q] [--copy-metadata]",
     "deblur the whole of IN with one preset (grid names, FR, blur) at radius N/2 and save it as "
     "OUT",
     RunDeblur},
    {"preview",
     "IN OUT --preset NAME --step N --at X,Y [--angle DEG] [mask options] [--artefacts MAP.png]",
     "compute one preview cell of the 512 x 512 section around X,Y and write it as PNG; "
     "--artefacts also writes the cell tinted where it rings or haloes (red) or amplifies noise "
     "(blue)",
     RunPreview},
    {"grid", "IN OUT --at X,Y [--presets LIST|all] [--steps N] [--angle DEG | --estimate] [--rank]",
     "compute the preview grid of the section around X,Y (radius steps 1 to N, default 15) and "
     "write it as one labelled PNG contact sheet; --estimate takes the kernel's shape and angle "
     "from the blur estimate; --rank scores the cells, badges the best three and prints every "
     "cell best first: preset step score detail% halo noise",
     RunGrid},
    {"estimate", "IN --at X,Y",
     "estimate the blur of the section around X,Y; prints 'shape=disc|motion|none radius=R "
     "angle=A confidence=C'",
     RunEstimate},
};

void printUsage(std::FILE* to) {
    std::fprintf(to, "usage: velkaro-cli COMMAND ARGUMENTS... [--verbose]\n\n"
                     "--verbose also shows the processing's own log lines\n\ncommands:\n");
    for (const CliCommand& command : kCommands) {
        std::fprintf(to, "  %s %s\n      %s\n", command.name, command.usage, command.summary);
    }
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
        if (name == command.name) return command.run(words);
    }
    std::fprintf(stderr, "velkaro-cli: unknown command '%s' (try 'velkaro-cli help')\n",
                 name.c_str());
    return kExitUsage;
}
