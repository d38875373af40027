#pragma once

#include <map>
#include <string>
#include <vector>

namespace velkaro {

// Argument handling shared by the subcommands of velkaro-cli.

// Exit statuses: success, a failure while doing the work (unreadable image, failed write), and a
// command line that makes no sense.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints "velkaro-cli <command>: <message>" as one line on standard error and returns `status`.
int CliError(int status, const char* command, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

struct CliArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--name value" or "--name=value", by name
};

// Splits `words` into positional arguments and options that take a value. Only the option names
// in `known` (written with their dashes) are allowed, each once; those also in `flags` take no
// value and read as "1". On an error the message is printed (CliError) and false returned.
bool ParseCliArgs(CliArgs& out, const std::vector<std::string>& words,
                  const std::vector<std::string>& known, const char* command,
                  const std::vector<std::string>& flags = {});

// Checks that there are exactly `count` positional arguments named by `names` (for the message).
bool ExpectPositional(const CliArgs& args, std::size_t count, const char* names,
                      const char* command);

// The option's value as an integer in lo … hi, or `fallback` when the option is absent. On a bad
// value the message is printed and false returned.
// Reads option `name` as a finite number in lo … hi (fallback when absent); a bad value prints one
// line and gives false.
bool FloatOption(float& out, const CliArgs& args, const std::string& name, float lo, float hi,
                 float fallback, const char* command);
bool IntOption(int& out, const CliArgs& args, const std::string& name, int lo, int hi, int fallback,
               const char* command);

// The file type an output is written as: from OUT's extension (.png; .jpg, .jpeg; .tif, .tiff,
// case ignored), or "--type PNG|JPEG|TIFF" when OUT has no extension or the option agrees with
// it. An extension the tool cannot write, or a type that contradicts it, prints one line naming
// what can be written and gives false.
bool OutputFileType(std::string& type, const CliArgs& args, const std::string& path,
                    const char* command);
// The words that the file type options add to a command's known options.
extern const std::vector<std::string>
    kFileTypeOptionNames;  // --type, --quality, --tiff-compression, --depth
// The file writing options: type (OutputFileType), "--quality 1-100" (JPEG, default 90),
// "--tiff-compression deflate|none" (default deflate) and "--depth 8|16" (PNG and TIFF; default
// the image's own).
struct ImageWriteOptions;
bool ParseWriteOptions(ImageWriteOptions& out, const CliArgs& args, const std::string& path,
                       const char* command);

// Why `path` could not be read as an image, in words: "no such file", "permission denied", "it is
// a folder", or "not an image this tool can read". Prints "cannot read 'PATH': REASON" and
// returns kExitFailure.
enum class ReadFailure;  // ImageIO.h
int CliReadError(const char* command, const std::string& path, ReadFailure failure);

}  // namespace velkaro
