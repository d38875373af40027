# Box-constrained least-squares deconvolution: the solver and the method as a whole.
if(TARGET velkaro_deblur_lsq)
  velkaro_test(lsq_solver_test SOURCES lsq_solver_test.cpp
    LIBS velkaro_deblur_lsq LABELS deblur)
  velkaro_test(lsq_reference_test SOURCES lsq_reference_test.cpp
    LIBS velkaro_deblur_lsq LAPACK::LAPACK LABELS deblur)
endif()
