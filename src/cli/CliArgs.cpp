#include <cmath>
#include "CliArgs.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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
    if (args.positional.size() == count) return true;
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

bool IntOption(int& out, const CliArgs& args, const std::string& name, int lo, int hi,
               int fallback, const char* command) {
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
        CliError(kExitUsage, command, "%s must be an integer from %d to %d, got '%s'",
                 name.c_str(), lo, hi, text.c_str());
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
