# Run by CPack on the files of a package before it is made (CPACK_PRE_BUILD_SCRIPTS), after its
# own strip: takes out the sections that only say which compiler made each object (.comment) and
# the generic notes (.note), as Debian's own packaging tools do; the build id stays.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
if(NOT programs)
  message(FATAL_ERROR "no programs in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin")
endif()
foreach(program ${programs})
  execute_process(COMMAND "${CPACK_VELK_STRIP}" --remove-section=.comment --remove-section=.note "${program}"
                  RESULT_VARIABLE stripped)
  if(NOT stripped EQUAL 0)
    message(FATAL_ERROR "strip failed on ${program}")
  endif()
endforeach()
