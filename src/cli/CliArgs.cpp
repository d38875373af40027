#include "CliArgs.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "ImageIO.h"

namespace velkaro {

int CliError(int status, const char* command, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::fprintf(stderr, "velkaro-cli %s: %s\n", command, message);
    return status;
}

bool ParseCliArgs(CliArgs& out, const std::vector<std::string>& words,
                  const std::vector<std::string>& known, const char* command,
                  const std::vector<std::string>& flags) {
    out = CliArgs{};
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
            out.positional.push_back(word);
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            CliError(kExitUsage, command, "unknown option '%s'", name.c_str());
            return false;
        }
        if (out.options.count(name)) {
            CliError(kExitUsage, command, "option %s given twice", name.c_str());
            return false;
        }
        const bool flag = std::find(flags.begin(), flags.end(), name) != flags.end();
        if (flag && equals != std::string::npos) {
            CliError(kExitUsage, command, "option %s takes no value", name.c_str());
            return false;
        }
        if (flag) {
            out.options.emplace(name, "1");
        } else if (equals != std::string::npos) {
            out.options[name] = word.substr(equals + 1);
        } else if (i + 1 < words.size()) {
            out.options[name] = words[++i];
        } else {
            CliError(kExitUsage, command, "option %s needs a value", name.c_str());
            return false;
        }
    }
    return true;
}

bool ExpectPositional(const CliArgs& args, std::size_t count, const char* names,
                      const char* command) {
    if (args.positional.size() == count)
        return true;
    if (args.positional.size() < count) {
        CliError(kExitUsage, command, "expected %s", names);
    } else {
        CliError(kExitUsage, command, "unexpected argument '%s' (expected %s)",
                 args.positional[count].c_str(), names);
    }
    return false;
}

namespace {

// The text given for option `name`, or null when the option is absent.
const std::string* OptionText(const CliArgs& args, const std::string& name) {
    const auto found = args.options.find(name);
    return found == args.options.end() ? nullptr : &found->second;
}

}  // namespace

bool IntOption(int& out, const CliArgs& args, const std::string& name, int lo, int hi, int fallback,
               const char* command) {
    const std::string* given = OptionText(args, name);
    if (!given) {
        out = fallback;
        return true;
    }
    const std::string& text = *given;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < lo || value > hi) {
        CliError(kExitUsage, command, "%s must be an integer from %d to %d, got '%s'", name.c_str(),
                 lo, hi, text.c_str());
        return false;
    }
    out = int(value);
    return true;
}

bool FloatOption(float& out, const CliArgs& args, const std::string& name, float lo, float hi,
                 float fallback, const char* command) {
    const std::string* given = OptionText(args, name);
    if (!given) {
        out = fallback;
        return true;
    }
    const std::string& text = *given;
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < lo ||
        value > hi) {
        CliError(kExitUsage, command, "%s must be a number from %g to %g, got '%s'", name.c_str(),
                 double(lo), double(hi), text.c_str());
        return false;
    }
    out = value;
    return true;
}

namespace {

std::string upperCase(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The type named by the extension of `path`: "PNG", "JPEG", "TIFF"; "" without an extension;
// "?" for any other extension.
std::string typeOfExtension(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return "";
    const std::string extension = upperCase(name.substr(dot + 1));
    if (extension == "PNG")
        return "PNG";
    if (extension == "JPG" || extension == "JPEG")
        return "JPEG";
    if (extension == "TIF" || extension == "TIFF")
        return "TIFF";
    return "?";
}

}  // namespace

const std::vector<std::string> kFileTypeOptionNames = {"--type", "--quality", "--tiff-compression",
                                                       "--depth"};

bool OutputFileType(std::string& type, const CliArgs& args, const std::string& path,
                    const char* command) {
    const std::string fromName = typeOfExtension(path);
    if (fromName == "?") {
        CliError(kExitUsage, command,
                 "cannot write '%s': the tool writes .png, .jpg (.jpeg) and .tif (.tiff) files",
                 path.c_str());
        return false;
    }
    const auto given = args.options.find("--type");
    if (given == args.options.end()) {
        type = fromName.empty() ? "PNG" : fromName;
        return true;
    }
    type = upperCase(given->second);
    if (type == "JPG")
        type = "JPEG";
    if (type == "TIF")
        type = "TIFF";
    if (type != "PNG" && type != "JPEG" && type != "TIFF") {
        CliError(kExitUsage, command, "--type must be PNG, JPEG or TIFF, got '%s'",
                 given->second.c_str());
        return false;
    }
    if (!fromName.empty() && fromName != type) {
        CliError(kExitUsage, command, "--type %s contradicts the name '%s' (a %s file)",
                 type.c_str(), path.c_str(), fromName.c_str());
        return false;
    }
    return true;
}

bool ParseWriteOptions(ImageWriteOptions& out, const CliArgs& args, const std::string& path,
                       const char* command) {
    out = ImageWriteOptions{};
    if (!OutputFileType(out.type, args, path, command) ||
        !IntOption(out.quality, args, "--quality", 1, 100, 90, command))
        return false;
    if (const auto found = args.options.find("--tiff-compression"); found != args.options.end()) {
        const std::string value = upperCase(found->second);
        if (value != "DEFLATE" && value != "NONE") {
            CliError(kExitUsage, command, "--tiff-compression must be deflate or none, got '%s'",
                     found->second.c_str());
            return false;
        }
        out.compressTiff = value == "DEFLATE";
    }
    if (const auto found = args.options.find("--depth"); found != args.options.end()) {
        if (found->second != "8" && found->second != "16") {
            CliError(kExitUsage, command, "--depth must be 8 or 16, got '%s'",
                     found->second.c_str());
            return false;
        }
        if (out.type == "JPEG" && found->second == "16") {
            CliError(kExitUsage, command, "--depth 16 needs a PNG or TIFF file: JPEG is 8-bit");
            return false;
        }
        out.depth = std::stoi(found->second);
    }
    return true;
}

int CliReadError(const char* command, const std::string& path, ReadFailure failure) {
    const char* reason = "not an image this tool can read";
    switch (failure) {
        case ReadFailure::Missing:
            reason = "no such file";
            break;
        case ReadFailure::Permission:
            reason = "permission denied";
            break;
        case ReadFailure::Folder:
            reason = "it is a folder";
            break;
        default:
            break;
    }
    return CliError(kExitFailure, command, "cannot read '%s': %s", path.c_str(), reason);
}

}  // namespace velkaro
