# Box-constrained least-squares deconvolution: the solver and the method as a whole.
velkaro_test(lsq_test SOURCES lsq_test.cpp LIBS velkaro_deblur_lsq LAPACK::LAPACK LABELS deblur)
