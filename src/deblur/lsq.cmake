# Box-constrained least-squares deconvolution (module Deconvolve) and its reflective Newton solver
# (Sllsbox).
add_library(velkaro_deblur_lsq STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Deconvolve.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Sllsbox.cpp
)
target_include_directories(velkaro_deblur_lsq PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velkaro_deblur_lsq
  PUBLIC velkaro_deblur_filter velkaro_matrix
  PRIVATE LAPACK::LAPACK)
# The solver's vector passes are plain loops: let the compiler vectorise them.
target_compile_options(velkaro_deblur_lsq PRIVATE -ftree-vectorize -fvect-cost-model=dynamic)
target_link_libraries(velkaro_deblur INTERFACE velkaro_deblur_lsq)
