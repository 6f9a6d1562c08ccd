# Installs the build into a fresh prefix, as a package build would, and checks that the two
# programs, the desktop entry (the velkdownloader:// handler) and the program icons land in the
# usual places. Run by CTest with -DBUILD_DIR=<build folder> -DPREFIX=<empty folder>.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${installed}")
endif()

set(expected
  bin/velkdownloader
  bin/velkdownloader-cli
  share/applications/velkdownloader.desktop
  share/icons/hicolor/16x16/apps/velkdownloader.png
  share/icons/hicolor/32x32/apps/velkdownloader.png
  share/icons/hicolor/64x64/apps/velkdownloader.png)
foreach(path ${expected})
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
foreach(program velkdownloader velkdownloader-cli)
  execute_process(COMMAND test -x "${PREFIX}/bin/${program}" RESULT_VARIABLE executable)
  if(NOT executable EQUAL 0)
    message(FATAL_ERROR "${program} is not executable")
  endif()
endforeach()

file(READ "${PREFIX}/share/applications/velkdownloader.desktop" entry)
foreach(line "Exec=velkdownloader %u" "MimeType=x-scheme-handler/velkdownloader;"
             "Icon=velkdownloader" "Type=Application")
  string(FIND "${entry}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the desktop entry lacks \"${line}\"")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
