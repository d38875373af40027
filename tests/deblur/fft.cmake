# The FFT helper program, its client, and the frequency-domain Wiener method.
add_executable(fake_fftw_helper fake_fftw_helper.cpp)

velkaro_test(fft_client_test SOURCES fft_client_test.cpp LIBS velkaro_deblur_fft LABELS deblur)
target_compile_definitions(fft_client_test PRIVATE
  FAKE_FFTW_HELPER="$<TARGET_FILE:fake_fftw_helper>")
add_dependencies(fft_client_test fftw_helper fake_fftw_helper)

velkaro_test(fft_helper_test SOURCES fft_helper_test.cpp LIBS velkaro_fftw_helper_core
  LABELS deblur)

velkaro_test(fft_wnr_test SOURCES fft_wnr_test.cpp LIBS velkaro_deblur_fft LABELS deblur)
add_dependencies(fft_wnr_test fftw_helper)
