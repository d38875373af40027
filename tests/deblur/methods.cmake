# The methods as the presets call them (the session's table of methods).
velkaro_test(methods_test SOURCES methods_test.cpp LIBS velkaro_session LABELS deblur)
velkaro_test(blur_estimate_test SOURCES blur_estimate_test.cpp LIBS velkaro_deblur_methods
  LABELS deblur)
velkaro_test(shake_kernel_test SOURCES shake_kernel_test.cpp LIBS velkaro_deblur_methods
  LABELS deblur)
velkaro_test(methods_mask_test SOURCES methods_mask_test.cpp LIBS velkaro_deblur_methods
  LABELS deblur)
