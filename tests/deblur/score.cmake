if(TARGET velkaro_deblur_score)
  velkaro_test(score_test SOURCES score_test.cpp
    LIBS velkaro_session LABELS deblur)
endif()
