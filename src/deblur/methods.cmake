# The deblurring methods proper: blur and pass-through, unsharp masks, Richardson–Lucy plain and
# thresholded, the Wiener FIR filter, the estimate of a section's blur (parametric, and blind for
# a kernel of any shape) and synthetic camera-shake kernels.
add_library(velkaro_deblur_methods STATIC
  MethodSupport.cpp
  Convolve.cpp
  FitRefocus.cpp
  USM.cpp
  Richard_Lucy.cpp
  Richard_Lucy_Threshold.cpp
  Wiener_FIR.cpp
  BlurEstimate.cpp
  ShakeKernel.cpp
  SectionKernel.cpp
  SyntheticShake.cpp)
target_include_directories(velkaro_deblur_methods PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(velkaro_deblur_methods
  PUBLIC velkaro_deblur_filter velkaro_matrix velkaro_images
  PRIVATE LAPACK::LAPACK)
# The per-pixel passes between convolutions are plain loops: let the compiler vectorise them.
target_compile_options(velkaro_deblur_methods PRIVATE -ftree-vectorize -fvect-cost-model=dynamic)
target_link_libraries(velkaro_deblur INTERFACE velkaro_deblur_methods)
