// Makes the FFTW wisdom that src/platform/FftWisdom.inc ships: single-precision plans, found by
// FFTW_PATIENT planning, for the real 2-D transforms the deblurring methods run most (the preview
// section's Richardson–Lucy windows and the full deblur's tiles), out of place on aligned arrays,
// on one thread, as src/platform/PlanarFft.cpp makes them. Run by hand on an idle machine and
// write its output over the file:
//
//   fft_wisdom [N ...] > src/platform/FftWisdom.inc        (default sizes 512 576 640)
//
// Wisdom only records which algorithm FFTW found fastest; a library that cannot use it (another
// version, a processor without the instructions it names) ignores it and plans as before.

#include <fftw3.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {512, 576, 640};
    for (int n : sizes) {
        if (n < 2 || n > 4096) {
            std::fprintf(stderr, "fft_wisdom: size %d out of range\n", n);
            return 2;
        }
        float* real = fftwf_alloc_real(std::size_t(n) * n);
        fftwf_complex* spectrum = fftwf_alloc_complex(std::size_t(n) * (n / 2 + 1));
        fftwf_plan forward = fftwf_plan_dft_r2c_2d(n, n, real, spectrum, FFTW_PATIENT);
        fftwf_plan inverse = fftwf_plan_dft_c2r_2d(n, n, spectrum, real, FFTW_PATIENT);
        fftwf_destroy_plan(forward);
        fftwf_destroy_plan(inverse);
        fftwf_free(real);
        fftwf_free(spectrum);
        std::fprintf(stderr, "fft_wisdom: %d x %d planned\n", n, n);
    }
    char* wisdom = fftwf_export_wisdom_to_string();
    std::printf(
        "// FFTW wisdom for the most used single-precision transforms, made by bench/fft_wisdom.\n"
        "R\"(%s)\"\n",
        wisdom);
    std::free(wisdom);
    return 0;
}
