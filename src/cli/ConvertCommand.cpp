// velkaro-cli convert IN OUT [--type PNG|JPEG|TIFF] [--quality 1-100]: decodes IN as the
// application opens photographs and writes OUT as the application saves them.
#include <cctype>
#include <cstdio>

#include "CliArgs.h"
#include "Commands.h"
#include "ImageIO.h"

namespace {

std::string upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The type named by the output file's extension; PNG for anything else.
std::string typeForPath(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "PNG";
    const std::string extension = upper(path.substr(dot + 1));
    if (extension == "JPG" || extension == "JPEG") return "JPEG";
    if (extension == "TIF" || extension == "TIFF") return "TIFF";
    return "PNG";
}

}  // namespace

int RunConvert(const std::vector<std::string>& words) {
    const char* command = "convert";
    CliArgs args;
    if (!ParseCliArgs(args, words, {"--type", "--quality"}, command) ||
        !ExpectPositional(args, 2, "IN OUT", command)) {
        return kExitUsage;
    }
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];

    std::string type = typeForPath(out);
    if (const auto found = args.options.find("--type"); found != args.options.end()) {
        type = upper(found->second);
        if (type != "PNG" && type != "JPEG" && type != "TIFF") {
            return CliError(kExitUsage, command, "--type must be PNG, JPEG or TIFF, got '%s'",
                            found->second.c_str());
        }
    }
    int quality = 0;
    if (!IntOption(quality, args, "--quality", 1, 100, 90, command)) return kExitUsage;

    ImageIO& io = ImageIO::sharedInstance();
    std::string format;
    const ImageRef image = io.readFromFile(in, format);
    if (!image) {
        return CliError(kExitFailure, command, "cannot read an image from '%s'", in.c_str());
    }
    if (!io.writeImage(image, type, quality, out)) {
        return CliError(kExitFailure, command, "could not write '%s'", out.c_str());
    }
    std::fprintf(stderr, "converted %s (%s %dx%d) to %s (%s)\n", in.c_str(), format.c_str(),
                 image->width(), image->height(), out.c_str(), type.c_str());
    return kExitOk;
}
