# The folders of src/ as layers: each one is a static library tessel_<folder> that links the
# libraries it names and no others. The order of the tessel_layer() lines is the order of the
# layers, lowest first: a folder may name only folders whose lines stand above its own, so
# the libraries cannot form a cycle, and moving a folder up or down is a visible edit.
#
# All libraries share one include root (src/), so a header of any folder can be reached from
# any other by its path alone; the include folders cannot forbid an upward include. Before a
# library compiles, cmake/CheckLayer.cmake therefore reads its folder's #include lines and
# fails the build on one that reaches a folder it did not name.

set(TESSEL_LAYERS "")

# Where a source has a counterpart for each system, the two stand side by side and their names
# say which is which: FooPosix.cpp and FooWin.cpp. Each build leaves out the other system's.
# The pairs named otherwise (the serial devices, SHA-256 from libcrypto or CNG) are listed,
# and so is what calls POSIX with no Windows counterpart yet (the pseudo-terminal server), so
# that what the Windows build builds is only what works there. The stand-in board's port
# server is the Windows counterpart of that pseudo-terminal server and is built there only.
# The ledger's databases (SQLite, libpq) have no MinGW build in Debian: their ends are left
# out of the Windows build with the station that uses them.
set(TESSEL_POSIX_ONLY "")
set(TESSEL_WINDOWS_ONLY "")
# The page (emscripten) is a POSIX build with no terminals, no libcrypto and no databases: its
# ports are the browser's (WebSerialDevice) and its SHA-256 the portable one.
set(TESSEL_NOT_WEB "")
set(TESSEL_WEB_ONLY "")
foreach(file platform/PosixSerialDevice.cpp platform/Sha256OpenSsl.cpp sim/PtyServer.cpp
             ledger/SqliteLedger.cpp ledger/PostgresLedger.cpp ledger/OpenLedger.cpp)
  list(APPEND TESSEL_POSIX_ONLY ${CMAKE_SOURCE_DIR}/src/${file})
endforeach()
foreach(file platform/WinSerialDevice.cpp platform/Sha256Cng.cpp sim/PortServer.cpp)
  list(APPEND TESSEL_WINDOWS_ONLY ${CMAKE_SOURCE_DIR}/src/${file})
endforeach()
foreach(file platform/PosixSerialDevice.cpp platform/DeviceNamesPosix.cpp platform/PortListPosix.cpp
             platform/Sha256OpenSsl.cpp
             sim/PtyServer.cpp ledger/SqliteLedger.cpp ledger/PostgresLedger.cpp ledger/OpenLedger.cpp)
  list(APPEND TESSEL_NOT_WEB ${CMAKE_SOURCE_DIR}/src/${file})
endforeach()
foreach(file platform/WebSerialDevice.cpp platform/Sha256Plain.cpp)
  list(APPEND TESSEL_WEB_ONLY ${CMAKE_SOURCE_DIR}/src/${file})
endforeach()

# tessel_layer(<folder> [USES <folder>...])
macro(tessel_layer name)
  _tessel_layer(${name} ${ARGN})
  list(APPEND TESSEL_LAYERS ${name})
  set(TESSEL_USES_${name} ${ARGN})
  list(REMOVE_ITEM TESSEL_USES_${name} USES)
endmacro()

function(_tessel_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "USES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tessel_layer(${name}): unexpected ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(dir ${CMAKE_SOURCE_DIR}/src/${name})
  if(NOT IS_DIRECTORY ${dir})
    message(FATAL_ERROR "tessel_layer(${name}): there is no folder src/${name}")
  endif()
  set(deps "")
  foreach(use IN LISTS arg_USES)
    if(NOT use IN_LIST TESSEL_LAYERS)
      message(FATAL_ERROR "tessel_layer(${name}): ${use} is not a layer below ${name}; "
                          "a layer may use only those whose lines stand above its own")
    endif()
    list(APPEND deps tessel_${use})
  endforeach()

  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(WIN32)
    list(FILTER sources EXCLUDE REGEX "Posix\\.cpp$")
    list(REMOVE_ITEM sources ${TESSEL_POSIX_ONLY})
  else()
    list(FILTER sources EXCLUDE REGEX "Win\\.cpp$")
    list(REMOVE_ITEM sources ${TESSEL_WINDOWS_ONLY})
  endif()
  if(EMSCRIPTEN)
    list(REMOVE_ITEM sources ${TESSEL_NOT_WEB})
  else()
    list(REMOVE_ITEM sources ${TESSEL_WEB_ONLY})
  endif()
  # Every file of the folder, so that one of a kind the check refuses (an .inc) reruns it.
  file(GLOB_RECURSE checked CONFIGURE_DEPENDS ${dir}/*)
  add_library(tessel_${name} STATIC ${sources})
  target_include_directories(tessel_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(tessel_${name} PUBLIC ${deps} Threads::Threads)

  # The names go through a file rather than the command line, so that editing a layer's line
  # reruns its check; file(CONFIGURE) leaves the file alone while they stay the same.
  set(stamp ${CMAKE_BINARY_DIR}/layers/${name}.checked)
  set(uses ${CMAKE_BINARY_DIR}/layers/${name}.uses)
  file(CONFIGURE OUTPUT ${uses} CONTENT "${arg_USES}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}/src -DLAYER=${name} -DUSES_FILE=${uses}
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckLayer.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${checked} ${uses} ${CMAKE_SOURCE_DIR}/cmake/CheckLayer.cmake
    COMMENT "Checking the includes of src/${name}" VERBATIM)
  add_custom_target(tessel_${name}_includes DEPENDS ${stamp})
  add_dependencies(tessel_${name} tessel_${name}_includes)
endfunction()

# After the last tessel_layer(): tessel_core, every layer in one target for the programs and
# tests, once every folder of src/ has its line.
function(tessel_core_from_layers)
  file(GLOB folders LIST_DIRECTORIES true RELATIVE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/*)
  foreach(folder IN LISTS folders)
    if(IS_DIRECTORY ${CMAKE_SOURCE_DIR}/src/${folder} AND NOT folder IN_LIST TESSEL_LAYERS)
      message(FATAL_ERROR "src/${folder} has no tessel_layer() line in CMakeLists.txt")
    endif()
  endforeach()
  add_library(tessel_core INTERFACE)
  list(TRANSFORM TESSEL_LAYERS PREPEND tessel_ OUTPUT_VARIABLE libraries)
  target_link_libraries(tessel_core INTERFACE ${libraries})

  # The links as the includes: once every library is built, cmake/CheckLinks.cmake fails the
  # build on a symbol a layer takes from one it did not name. Whatever links tessel_core waits
  # for the check.
  set(manifest "")
  foreach(name IN LISTS TESSEL_LAYERS)
    string(REPLACE ";" "," uses "${TESSEL_USES_${name}}")
    string(APPEND manifest "${name}|${uses}|$<TARGET_FILE:tessel_${name}>\n")
  endforeach()
  set(listed ${CMAKE_BINARY_DIR}/layers/links.txt)
  set(stamp ${CMAKE_BINARY_DIR}/layers/links.checked)
  file(GENERATE OUTPUT ${listed} CONTENT "${manifest}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DMANIFEST=${listed} -P ${CMAKE_SOURCE_DIR}/cmake/CheckLinks.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${libraries} ${listed} ${CMAKE_SOURCE_DIR}/cmake/CheckLinks.cmake
    COMMENT "Checking the links of the layers" VERBATIM)
  add_custom_target(tessel_layer_links DEPENDS ${stamp})
  add_dependencies(tessel_core tessel_layer_links)
endfunction()
