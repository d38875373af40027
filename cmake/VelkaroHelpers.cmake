# velkaro_test(NAME SOURCES a.cpp b.cpp LIBS lib... LABELS l... [QT])
# One GoogleTest executable whose cases are registered with CTest one by one, labelled with its
# layer (`ctest -L <layer>`).
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
  if(NOT T_LABELS)
    message(FATAL_ERROR "velkaro_test(${name}): give the test its layer's label (LABELS)")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" ENVIRONMENT "VELKARO_TEST_OUTPUT_DIR=${CMAKE_BINARY_DIR}/test-output")
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
