# Project-wide CMake helpers.

# Turns our warning set on for one target (third-party code stays as it is).
function(tidecast_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${TIDECAST_WARNING_FLAGS}>
    $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra>)
endfunction()

# tidecast_add_test(NAME name SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s]
#                   [RESOURCE_LOCK ...] [ENVIRONMENT ...])
# Builds one GoogleTest binary and registers it with ctest as one test, so a
# binary that starts servers runs them once and is bounded by one time-out.
function(tidecast_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ENVIRONMENT" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  tidecast_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no)
  set(env "TIDECAST_BUILD_DIR=${CMAKE_BINARY_DIR}" "TIDECAST_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
          "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1"
          "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_init_order=1"
          "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp"
          "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
          ${T_ENVIRONMENT})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()
