#include "Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace velkaro {

namespace {

std::atomic<LogLevel> gLevel{LogLevel::Info};

}  // namespace

void SetLogLevel(LogLevel level) {
    gLevel.store(level, std::memory_order_relaxed);
}

LogLevel CurrentLogLevel() {
    return gLevel.load(std::memory_order_relaxed);
}

void LogMessage(LogLevel level, const char* format, ...) {
    if (int(level) < int(CurrentLogLevel()))
        return;
    char small[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(copy);
        return;
    }
    std::string text;
    if (std::size_t(length) < sizeof small) {
        text.assign(small, std::size_t(length));
    } else {
        text.resize(std::size_t(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, copy);
        text.resize(std::size_t(length));
    }
    va_end(copy);
    if (text.empty() || text.back() != '\n')
        text.push_back('\n');
    // One write per line, so that lines from different threads never interleave.
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace velkaro
