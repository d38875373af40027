#pragma once

namespace velkaro {

// Guards against programming errors. A failed check prints the condition text exactly as written,
// the function, the file and the line to standard error, then aborts. Bad input from users must
// never reach a check: it is reported as a null result or false instead.

[[noreturn]] void CheckFailed(const char* condition, const char* function, const char* file,
                              int line);

#define VK_CHECK(cond)                                        \
    do {                                                      \
        if (!(cond))                                          \
            CheckFailed(#cond, __func__, __FILE__, __LINE__); \
    } while (0)

}  // namespace velkaro
