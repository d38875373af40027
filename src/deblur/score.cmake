# The candidate score and artefact map: judges a deblurred section against the original section.
add_library(velkaro_deblur_score STATIC CandidateScore.cpp)
target_include_directories(velkaro_deblur_score PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(velkaro_deblur_score
  PUBLIC velkaro_deblur_filter velkaro_images
  PRIVATE velkaro_opencv)
# The per-pixel passes over the planes are plain loops the compiler can widen; the row sums use
# eight-float vectors inside the file only (no ABI crosses it).
target_compile_options(velkaro_deblur_score PRIVATE -ftree-vectorize -fvect-cost-model=dynamic
  -Wno-psabi)
target_link_libraries(velkaro_deblur INTERFACE velkaro_deblur_score)
