# Checks that every source of a layer includes only its own layer and the layers below it, and
# that nothing below the user interface includes a Qt header:
#   platform <- core <- engine <- api <- app <- (cli | controls <- ui); res (Qt images) for the
#   user interface only.
# The include roots already keep an upward include from compiling; this check also catches the
# forms a compiler may still find (a relative "../ui/..." path) and says which rule is broken.
#   cmake -DROOT=<source folder> -P cmake/LayerCheck.cmake
# Fails naming each offending file and line.
cmake_minimum_required(VERSION 3.25)
if(NOT ROOT)
  message(FATAL_ERROR "LayerCheck: ROOT is not set")
endif()

set(LAYERS platform core engine api app cli controls ui res)
set(ALLOWED_platform platform)
set(ALLOWED_core platform core)
set(ALLOWED_engine platform core engine)
set(ALLOWED_api platform core engine api)
set(ALLOWED_app platform core engine api app)
set(ALLOWED_cli platform core engine api app cli)
set(ALLOWED_controls platform core engine api app res controls)
set(ALLOWED_ui platform core engine api app res controls ui)
set(ALLOWED_res res)
set(QT_LAYERS controls ui res)

set(broken 0)
foreach(layer ${LAYERS})
  file(GLOB_RECURSE sources "${ROOT}/${layer}/*.h" "${ROOT}/${layer}/*.cpp")
  foreach(source ${sources})
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    file(RELATIVE_PATH shown "${ROOT}" "${source}")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*$" "\\1" path "${line}")
      if(path MATCHES "^\\.\\./")
        # Resolved from the file's own folder, so no include root stops it.
        message(NOTICE "${shown} includes ${path}: a path out of its own folder; "
                           "name the header from the include root instead")
        math(EXPR broken "${broken} + 1")
      elseif(line MATCHES "\"" AND path MATCHES "^([^/]+)/")
        set(target "${CMAKE_MATCH_1}")
        string(REPLACE ";" " " allowed "${ALLOWED_${layer}}")
        if(target IN_LIST LAYERS AND NOT target IN_LIST ALLOWED_${layer})
          message(NOTICE "${shown} includes ${path}: ${layer}/ may include only "
                             "${allowed}")
          math(EXPR broken "${broken} + 1")
        endif()
      endif()
      if(NOT layer IN_LIST QT_LAYERS AND path MATCHES "^(Q[A-Za-z]+|Qt[A-Za-z]*/.*|q[a-z]+\\.h)$")
        message(NOTICE "${shown} includes the Qt header ${path}: only controls, ui and res use Qt")
        math(EXPR broken "${broken} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(broken GREATER 0)
  message(FATAL_ERROR "LayerCheck: ${broken} include(s) against the layering")
endif()
