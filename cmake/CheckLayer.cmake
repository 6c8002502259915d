# Run at build time (cmake -P) before a layer's library compiles: fails when a file of the
# layer's folder includes a header of another folder of src/ that the layer does not use.
#
#   -DSOURCE_DIR=<src> -DLAYER=<folder> -DUSES_FILE=<file holding the folders it uses>
#
# An include is followed as the compiler follows it: a quoted one from the including file's
# folder first, then from src/, so that "../protocol/Primitives.h" counts as protocol's. What
# the check cannot follow is refused rather than let through: an include of a macro, a source
# of another kind than .cpp and .h in the folder (an .inc file is compiled only where it is
# included, out of the check's sight), and an include of one. <sys/stat.h> and the like, which
# lead to no folder of src/, are no layer's business.

cmake_minimum_required(VERSION 3.25)

file(READ ${USES_FILE} uses)
set(allowed "${uses}")
if(allowed STREQUAL "")
  set(allowed "nothing")
endif()
string(REPLACE ";" " " allowed "${allowed}")

set(wrong 0)
macro(refuse text)
  message(NOTICE "${text}")
  math(EXPR wrong "${wrong} + 1")
endmacro()

file(GLOB_RECURSE everything ${SOURCE_DIR}/${LAYER}/*)
set(files "")
foreach(file IN LISTS everything)
  file(RELATIVE_PATH shown ${SOURCE_DIR}/.. ${file})
  if(file MATCHES "\\.(cpp|h)$")
    list(APPEND files ${file})
  elseif(NOT file MATCHES "\\.(bin|md)$")
    # NOTICE rather than an error message, which CMake would wrap: one line per finding.
    refuse("${shown}: only .cpp and .h sources (and .bin data) belong in a layer's folder")
  endif()
endforeach()
list(SORT files)

foreach(file IN LISTS files)
  file(RELATIVE_PATH shown ${SOURCE_DIR}/.. ${file})
  get_filename_component(here ${file} DIRECTORY)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]+)[>\"]")
      refuse("${shown}: \"${line}\": an include must name its header in quotes or angle brackets")
      continue()
    endif()
    set(quoted ${CMAKE_MATCH_1})
    set(header ${CMAKE_MATCH_2})
    # Where the compiler finds it: beside the file (quoted only), else under src/.
    set(found "")
    if(quoted STREQUAL "\"" AND EXISTS ${here}/${header})
      set(found ${here}/${header})
    elseif(EXISTS ${SOURCE_DIR}/${header})
      set(found ${SOURCE_DIR}/${header})
    endif()
    if(found STREQUAL "")
      # Not in the tree: a system header, or one generated into the build under a folder's name.
      if(NOT header MATCHES "^([A-Za-z0-9_]+)/")
        continue()
      endif()
      set(folder ${CMAKE_MATCH_1})
      if(NOT IS_DIRECTORY ${SOURCE_DIR}/${folder})
        continue()
      endif()
    else()
      cmake_path(NORMAL_PATH found)
      cmake_path(IS_PREFIX SOURCE_DIR "${found}" NORMALIZE inside)
      if(NOT inside)
        refuse("${shown} includes ${header}, which is outside src/")
        continue()
      endif()
      file(RELATIVE_PATH relative ${SOURCE_DIR} ${found})
      if(NOT relative MATCHES "^([A-Za-z0-9_]+)/.*\\.h$")
        refuse("${shown} includes ${header}: only .h headers of a layer's folder may be included")
        continue()
      endif()
      set(folder ${CMAKE_MATCH_1})
    endif()
    if(folder STREQUAL LAYER OR folder IN_LIST uses)
      continue()
    endif()
    refuse("${shown} includes ${header}, but ${LAYER} may use only: ${allowed}")
  endforeach()
endforeach()
if(wrong GREATER 0)
  message(FATAL_ERROR "src/${LAYER}: ${wrong} include(s) against the layers; "
                      "see the tessel_layer() lines in CMakeLists.txt and docs/architecture.md")
endif()
