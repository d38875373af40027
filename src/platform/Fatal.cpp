#include "Fatal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace velkaro {

namespace {
std::atomic<FatalErrorHandler> gHandler{nullptr};
}

void SetFatalErrorHandler(FatalErrorHandler handler) {
    gHandler.store(handler);
}

void FatalError_imp(const char* file, int line, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    std::fprintf(stderr, "Fatal error: %s (%s:%d)\n", message, file, line);
    std::fflush(stderr);
    if (FatalErrorHandler handler = gHandler.load())
        handler(message, file, line);
    std::exit(1);
}

}  // namespace velkaro
