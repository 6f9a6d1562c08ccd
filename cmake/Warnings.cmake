# Strict warnings, treated as errors, for every target of the project.
add_library(velk_warnings INTERFACE)
target_compile_options(velk_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wold-style-cast -Wnon-virtual-dtor -Wshadow -Wconversion -Wsign-conversion
  -Wimplicit-fallthrough)
