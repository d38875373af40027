#pragma once

namespace velkaro {

// Marks a hot numeric loop to be built for AVX2 as well as for the baseline processor; the loader
// picks the version the processor runs. Both versions do the same operations in the same order,
// only twice as wide. ThreadSanitizer builds keep the baseline version only: the loader runs the
// version resolver before TSan's runtime is set up, and the instrumented resolver crashes every
// program linking such a function before main.
#if defined(__SANITIZE_THREAD__)
#define VK_AVX2_CLONES
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VK_AVX2_CLONES
#endif
#endif
#ifndef VK_AVX2_CLONES
#define VK_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#endif

}  // namespace velkaro
