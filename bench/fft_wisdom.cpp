// Makes the FFTW wisdom that src/platform/FftWisdom.inc ships: single-precision plans, found by
// FFTW_PATIENT planning, for the real 2-D transforms the deblurring methods run most (the preview
// section's Richardson–Lucy windows and the full deblur's tiles), out of place on aligned arrays,
// on one thread, as src/platform/PlanarFft.cpp makes them. Run by hand on an idle machine and
// write its output over the file:
//
//   fft_wisdom [N ...] > src/platform/FftWisdom.inc        (default sizes 512 576 640)
//
// With --threads T it plans for T threads instead (FFTW_MEASURE: patient planning finds nothing
// faster there), for the parallel plans of the blind kernel estimate's pyramid levels. FFTW takes
// wisdom only from a planner whose solvers were set up in the same order, so this one repeats the
// library's: the wisdom above first, then the threads. Make it again whenever FftWisdom.inc is:
//
//   fft_wisdom --threads 2 [N ...] > src/platform/FftWisdomThreaded.inc
//                                       (default sizes 256 288 320 512 576)
//
// Wisdom only records which algorithm FFTW found fastest; a library that cannot use it (another
// version, a processor without the instructions it names) ignores it and plans as before.

#include <fftw3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<int> sizes;
    int threads = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else
            sizes.push_back(std::atoi(argv[i]));
    }
    if (threads < 1 || threads > 64) {
        std::fprintf(stderr, "fft_wisdom: --threads %d out of range\n", threads);
        return 2;
    }
    if (threads > 1) {
        static const char kWisdom[] =
#include "../src/platform/FftWisdom.inc"
            ;
        if (fftwf_import_wisdom_from_string(kWisdom) == 0) {
            std::fprintf(stderr, "fft_wisdom: src/platform/FftWisdom.inc is not this FFTW's\n");
            return 1;
        }
        if (fftwf_init_threads() == 0) {
            std::fprintf(stderr, "fft_wisdom: FFTW's threads cannot be set up\n");
            return 1;
        }
        fftwf_plan_with_nthreads(threads);
    }
    if (sizes.empty())
        sizes = threads > 1 ? std::vector<int>{256, 288, 320, 512, 576}
                            : std::vector<int>{512, 576, 640};
    const unsigned rigour = threads > 1 ? FFTW_MEASURE : FFTW_PATIENT;
    for (int n : sizes) {
        if (n < 2 || n > 4096) {
            std::fprintf(stderr, "fft_wisdom: size %d out of range\n", n);
            return 2;
        }
        float* real = fftwf_alloc_real(std::size_t(n) * n);
        fftwf_complex* spectrum = fftwf_alloc_complex(std::size_t(n) * (n / 2 + 1));
        fftwf_plan forward = fftwf_plan_dft_r2c_2d(n, n, real, spectrum, rigour);
        fftwf_plan inverse = fftwf_plan_dft_c2r_2d(n, n, spectrum, real, rigour);
        fftwf_destroy_plan(forward);
        fftwf_destroy_plan(inverse);
        fftwf_free(real);
        fftwf_free(spectrum);
        std::fprintf(stderr, "fft_wisdom: %d x %d planned\n", n, n);
    }
    char* wisdom = fftwf_export_wisdom_to_string();
    const std::string made = threads > 1 ? " --threads " + std::to_string(threads) : "";
    std::printf(
        "// FFTW wisdom for the most used single-precision transforms, made by "
        "bench/fft_wisdom%s.\nR\"(%s)\"\n",
        made.c_str(), wisdom);
    std::free(wisdom);
    return 0;
}
