# Frequency-domain Wiener deconvolution and the client of the fftw_helper program that computes
# its transforms.
add_library(velkaro_deblur_fft STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/fftw_process.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Deconvolve_wnr.cpp
)
target_include_directories(velkaro_deblur_fft PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
# The request format, shared with the helper program (header only).
target_include_directories(velkaro_deblur_fft PRIVATE ${PROJECT_SOURCE_DIR}/helpers/fftw_helper)
target_link_libraries(velkaro_deblur_fft
  PUBLIC velkaro_platform velkaro_images velkaro_matrix velkaro_deblur_filter)
target_link_libraries(velkaro_deblur INTERFACE velkaro_deblur_fft)
# The program finds fftw_helper beside itself: whatever is built with this library needs it built.
add_dependencies(velkaro_deblur_fft fftw_helper)
