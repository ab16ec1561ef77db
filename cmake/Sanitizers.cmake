# Sanitizer builds: each option instruments every target of the tree.
if(TIDECAST_ASAN AND TIDECAST_TSAN)
  message(FATAL_ERROR "TIDECAST_ASAN and TIDECAST_TSAN cannot be combined")
endif()

# Warnings are on for our own code; each target gets them from tidecast_warnings().
set(TIDECAST_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wformat=2)

if(TIDECAST_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(TIDECAST_SANITIZED=1)
endif()
if(TIDECAST_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(TIDECAST_SANITIZED=1)
endif()

# Fuzzing: every library is instrumented for coverage and checked by ASan and
# UBSan; only the fuzz targets link the fuzzer's own main.
if(TIDECAST_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TIDECAST_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
