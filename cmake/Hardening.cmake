# The usual hardening of a Debian build, on by default so that a plain configure gives a
# hardened program: fortified libc calls, stack protector, and a read-only relocation table
# bound at start. Optimised builds only (_FORTIFY_SOURCE needs the optimiser, and warns
# otherwise), and not under the sanitizers, which intercept the same libc calls themselves.
option(VELK_HARDEN "Build with -D_FORTIFY_SOURCE=2, -fstack-protector-strong and full RELRO" ON)
if(VELK_HARDEN AND VELK_SANITIZE STREQUAL "")
  add_compile_options(-fstack-protector-strong
                      "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")
  add_link_options(-Wl,-z,relro,-z,now)
endif()
