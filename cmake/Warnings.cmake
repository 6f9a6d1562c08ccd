# Strict warnings for every target of the project. They are errors only with VELK_WERROR, which
# our own builds turn on (./test.sh, ./run.sh, fuzz.sh, the benchmarks and CI): a packager's plain
# configure with another compiler or optimisation level must not fail on a new warning.
option(VELK_WERROR "Treat compiler warnings as errors" OFF)
add_library(velk_warnings INTERFACE)
target_compile_options(velk_warnings INTERFACE
  -Wall -Wextra -Wpedantic
  -Wold-style-cast -Wnon-virtual-dtor -Wshadow -Wconversion -Wsign-conversion
  -Wimplicit-fallthrough)
if(VELK_WERROR)
  target_compile_options(velk_warnings INTERFACE -Werror)
endif()
