// velkaro-cli: the system's image operations from the command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "Commands.h"

namespace {

// One row per subcommand.
const CliCommand kCommands[] = {
    {"info", "FILE", "print the format, width and height of FILE as the application decodes it",
     RunInfo},
    {"convert", "IN OUT [--type PNG|JPEG|TIFF] [--quality 1-100]",
     "decode IN and write it to OUT (type from OUT's extension unless given; JPEG quality 90 "
     "unless given)",
     RunConvert},
};

void printUsage(std::FILE* to) {
    std::fprintf(to, "usage: velkaro-cli COMMAND ARGUMENTS...\n\ncommands:\n");
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
    for (const CliCommand& command : kCommands) {
        if (name == command.name) {
            return command.run(std::vector<std::string>(argv + 2, argv + argc));
        }
    }
    std::fprintf(stderr, "velkaro-cli: unknown command '%s' (try 'velkaro-cli help')\n",
                 name.c_str());
    return kExitUsage;
}
