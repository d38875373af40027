// velkaro-cli info FILE: what the application would decode from FILE.
#include <cstdio>

#include "CliArgs.h"
#include "Commands.h"
#include "ImageIO.h"

namespace velkaro {

int RunInfo(const std::vector<std::string>& words) {
    const char* command = "info";
    CliArgs args;
    if (!ParseCliArgs(args, words, {}, command) || !ExpectPositional(args, 1, "FILE", command)) {
        return kExitUsage;
    }
    const std::string& path = args.positional[0];
    std::string format;
    ReadFailure failure;
    const ImageRef image = ImageIO::sharedInstance().readFromFile(path, format, failure);
    if (!image) {
        return CliReadError(command, path, failure);
    }
    std::printf("format: %s\nwidth: %d\nheight: %d\ndepth: %d-bit RGB\n", format.c_str(),
                image->width(), image->height(), image->depth());
    return kExitOk;
}

}  // namespace velkaro
