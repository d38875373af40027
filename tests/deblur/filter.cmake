velkaro_test(filter_test SOURCES filter_test.cpp LIBS velkaro_deblur_filter LABELS deblur)
