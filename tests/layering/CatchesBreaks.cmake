# Runs cmake/LayerCheck.cmake over the sources here, which break the layering on purpose, and
# requires it to fail naming each break, and none of the allowed includes.
execute_process(
  COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_CURRENT_LIST_DIR} -P ${CHECK}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
message("${output}")
if(result EQUAL 0)
  message(FATAL_ERROR "LayerCheck passed sources that break the layering")
endif()
foreach(expected
    "engine/ReachesUp.cpp includes ui/CVelkDownloaderDlg.h: engine/ may include only"
    "core/UsesQt.h includes the Qt header QString"
    "app/RelativePath.cpp includes ../controls/ProgressItem.h: a path out of its own folder"
    "LayerCheck: 3 include")
  string(FIND "${output}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "LayerCheck did not report: ${expected}")
  endif()
endforeach()
foreach(unexpected "TextUtil.h" "Allowed.cpp")
  string(FIND "${output}" "${unexpected}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "LayerCheck reported an allowed include: ${unexpected}")
  endif()
endforeach()
