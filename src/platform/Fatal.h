#pragma once

namespace velkaro {

// Unrecoverable failures (a codec library that cannot even start). The message goes to standard
// error; when the user interface has installed a handler it also shows the "Fatal error" alert.
// The process then exits with status 1.

using FatalErrorHandler = void (*)(const char* message, const char* file, int line);

void SetFatalErrorHandler(FatalErrorHandler handler);

[[noreturn]] void FatalError_imp(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define FatalError(...) FatalError_imp(__FILE__, __LINE__, __VA_ARGS__)

}  // namespace velkaro
