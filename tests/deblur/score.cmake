velkaro_test(score_test SOURCES score_test.cpp
  LIBS velkaro_session LABELS deblur)
