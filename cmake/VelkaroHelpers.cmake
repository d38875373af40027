# velkaro_test(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS label] [QT])
# One GoogleTest executable whose cases are registered with CTest one by one. They carry the label
# of their folder under tests/ (tests/CMakeLists.txt) and LABELS beside it: one label, as the
# discovery script cannot pass a list.
# QT tests run headless on the offscreen platform (cmake/QtOffscreen.cpp).
function(velkaro_test name)
  cmake_parse_arguments(T "QT" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_QT)
    list(APPEND T_SOURCES ${PROJECT_SOURCE_DIR}/cmake/QtOffscreen.cpp)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    VELKARO_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
    VELKARO_RUNTIME_DIR="${VELKARO_RUNTIME_DIR}")
  set(properties ENVIRONMENT "VELKARO_TEST_OUTPUT_DIR=${CMAKE_BINARY_DIR}/test-output")
  list(LENGTH T_LABELS count)
  if(count GREATER 1)
    message(FATAL_ERROR "velkaro_test(${name}): one label at the most, got ${T_LABELS}")
  elseif(count EQUAL 1)
    list(APPEND properties LABELS ${T_LABELS})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# velkaro_bench(NAME SOURCES a.cpp LIBS lib...)
function(velkaro_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark benchmark::benchmark_main)
  target_compile_definitions(${name} PRIVATE
    VELKARO_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
    VELKARO_SAMPLE_DIR="${PROJECT_SOURCE_DIR}/tests/data")
endfunction()
