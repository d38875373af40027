#pragma once

#include <string>
#include <vector>

namespace velkaro {

// The subcommands of velkaro-cli. Each takes the words after its name and returns the process's
// exit status. A new subcommand is one file with its run function and one row in main.cpp's table.

struct CliCommand {
    const char* name;
    const char* usage;    // the arguments, as shown after "velkaro-cli <name>"
    const char* summary;  // one line for the help text
    int (*run)(const std::vector<std::string>& args);  // null: another form of the command above
};

int RunInfo(const std::vector<std::string>& args);
int RunConvert(const std::vector<std::string>& args);
int RunDeblur(const std::vector<std::string>& args);
int RunPreview(const std::vector<std::string>& args);
int RunGrid(const std::vector<std::string>& args);
int RunEstimate(const std::vector<std::string>& args);
int RunReplay(const std::vector<std::string>& args);

// The one-line form of a blur estimate (estimate command); grid and --shape shake print it too.
struct BlurEstimate;
std::string EstimateLine(const BlurEstimate& estimate);

}  // namespace velkaro
