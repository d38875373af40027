#include "Check.h"

#include <cstdio>
#include <cstdlib>

namespace velkaro {

void CheckFailed(const char* condition, const char* function, const char* file, int line) {
    std::fprintf(stderr, "Check failed: \"%s\" in %s (%s:%d)\n", condition, function, file, line);
    std::fflush(stderr);
    std::abort();
}

}  // namespace velkaro
