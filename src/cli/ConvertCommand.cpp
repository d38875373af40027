// velkaro-cli convert IN OUT [--type PNG|JPEG|TIFF] [--quality 1-100] [--tiff-compression C]:
// decodes IN as the application opens photographs and writes OUT as the application saves them.
#include <cstdio>

#include "CliArgs.h"
#include "Commands.h"
#include "ImageIO.h"

namespace velkaro {

int RunConvert(const std::vector<std::string>& words) {
    const char* command = "convert";
    CliArgs args;
    if (!ParseCliArgs(args, words, kFileTypeOptionNames, command) ||
        !ExpectPositional(args, 2, "IN OUT", command)) {
        return kExitUsage;
    }
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];
    ImageWriteOptions options;
    if (!ParseWriteOptions(options, args, out, command))
        return kExitUsage;

    ImageIO& io = ImageIO::sharedInstance();
    std::string format;
    ReadFailure failure;
    const ImageRef image = io.readFromFile(in, format, failure);
    if (!image)
        return CliReadError(command, in, failure);
    if (!io.writeImage(image, options, out)) {
        return CliError(kExitFailure, command, "could not write '%s'", out.c_str());
    }
    std::fprintf(stderr, "converted %s (%s %dx%d) to %s (%s)\n", in.c_str(), format.c_str(),
                 image->width(), image->height(), out.c_str(), options.type.c_str());
    return kExitOk;
}

}  // namespace velkaro
