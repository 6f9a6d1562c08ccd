# VELK_SANITIZE selects a sanitizer build: "address" (ASan + UBSan), "thread" (TSan), or "fuzzer"
# (ASan + UBSan with libFuzzer's coverage, clang only; builds the targets in fuzz/).
set(VELK_SANITIZE "" CACHE STRING "Sanitizer build: address, thread, fuzzer or empty")
if(VELK_SANITIZE STREQUAL "address")
  # GCC 12 reports false "maybe-uninitialized" warnings in library code (std::regex) once the
  # sanitizer instrumentation changes inlining; the normal build keeps the warning.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
                      -Wno-maybe-uninitialized)
  add_link_options(-fsanitize=address,undefined)
elseif(VELK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(VELK_SANITIZE STREQUAL "fuzzer")
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELK_SANITIZE=fuzzer needs clang (libFuzzer); see fuzz.sh")
  endif()
  # The libraries get the coverage hooks only; the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT VELK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown VELK_SANITIZE value: ${VELK_SANITIZE}")
endif()
