# VELK_SANITIZE selects a sanitizer build: "address" (ASan + UBSan) or "thread" (TSan).
set(VELK_SANITIZE "" CACHE STRING "Sanitizer build: address, thread or empty")
if(VELK_SANITIZE STREQUAL "address")
  # GCC 12 reports false "maybe-uninitialized" warnings in library code (std::regex) once the
  # sanitizer instrumentation changes inlining; the normal build keeps the warning.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
                      -Wno-maybe-uninitialized)
  add_link_options(-fsanitize=address,undefined)
elseif(VELK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VELK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown VELK_SANITIZE value: ${VELK_SANITIZE}")
endif()
