# Run at build time (cmake -P) before a layer's library compiles: fails when a file of the
# layer's folder includes a header of another folder of src/ that the layer does not use.
#
#   -DSOURCE_DIR=<src> -DLAYER=<folder> -DUSES_FILE=<file holding the folders it uses>
#
# Only the first part of an include's path counts, and only when src/ has a folder of that
# name: <sys/stat.h> and the like are no layer's business.

cmake_minimum_required(VERSION 3.25)

file(READ ${USES_FILE} uses)
set(allowed "${uses}")
if(allowed STREQUAL "")
  set(allowed "nothing")
endif()
string(REPLACE ";" " " allowed "${allowed}")

file(GLOB_RECURSE files ${SOURCE_DIR}/${LAYER}/*.cpp ${SOURCE_DIR}/${LAYER}/*.h)
list(SORT files)
set(wrong 0)
foreach(file IN LISTS files)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"][A-Za-z0-9_]+/")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "[<\"](([A-Za-z0-9_]+)/[^>\"]*)" _ "${line}")
    set(header ${CMAKE_MATCH_1})
    set(folder ${CMAKE_MATCH_2})
    if(folder STREQUAL LAYER OR folder IN_LIST uses OR NOT IS_DIRECTORY ${SOURCE_DIR}/${folder})
      continue()
    endif()
    file(RELATIVE_PATH shown ${SOURCE_DIR}/.. ${file})
    # NOTICE rather than an error message, which CMake would wrap: one line per include.
    message(NOTICE "${shown} includes ${header}, but ${LAYER} may use only: ${allowed}")
    math(EXPR wrong "${wrong} + 1")
  endforeach()
endforeach()
if(wrong GREATER 0)
  message(FATAL_ERROR "src/${LAYER}: ${wrong} include(s) against the layers; "
                      "see the tessel_layer() lines in CMakeLists.txt and docs/architecture.md")
endif()
