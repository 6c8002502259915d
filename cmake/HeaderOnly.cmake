# The header-only libraries (nlohmann-json, CLI11) as the targets their own packages define,
# nlohmann_json::nlohmann_json and CLI11::CLI11.
#
# A native build takes them from their installed CMake packages. A cross build looks in its
# own sysroot first; the host's packages would add the host's whole /usr/include to the
# include path, and with it the host's C library headers in place of the target's. When the
# sysroot has no copy, the host's header folder alone (nlohmann/, CLI/) is linked into the
# build folder and that folder becomes the target's include path: the headers are the same
# on every system, and nothing else of the host is seen.

# tessel_header_only(<target> <package> <folder> <header> <version-header> <version-regex>
#                    <minimum-major>)
function(tessel_header_only target package folder header version_header version_regex major)
  if(TARGET ${target})
    return()
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(${package} ${major} CONFIG REQUIRED)
    return()
  endif()
  find_package(${package} ${major} CONFIG QUIET)
  if(${package}_FOUND)
    return()
  endif()

  find_path(TESSEL_${package}_HOST_INCLUDE ${folder}/${header} NO_CMAKE_FIND_ROOT_PATH
            PATHS /usr/include /usr/local/include NO_DEFAULT_PATH)
  if(NOT TESSEL_${package}_HOST_INCLUDE)
    message(FATAL_ERROR "${package}: neither the sysroot nor the host has ${folder}/${header} "
                        "(Debian: nlohmann-json3-dev, libcli11-dev)")
  endif()
  set(source ${TESSEL_${package}_HOST_INCLUDE}/${folder})
  set(lines "")
  if(EXISTS ${source}/${version_header})
    file(STRINGS ${source}/${version_header} lines REGEX "${version_regex}")
  endif()
  if(NOT lines MATCHES "${version_regex}" OR CMAKE_MATCH_1 LESS major)
    message(FATAL_ERROR "${package}: ${source} is not version ${major} or later")
  endif()

  set(root ${CMAKE_BINARY_DIR}/header-only/${package})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${folder})
    file(CREATE_LINK ${source} ${root}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${root})
  message(STATUS "${package}: the headers of ${source} alone")
endfunction()

tessel_header_only(nlohmann_json::nlohmann_json nlohmann_json nlohmann json.hpp detail/abi_macros.hpp
                   "#define NLOHMANN_JSON_VERSION_MAJOR +([0-9]+)" 3)
tessel_header_only(CLI11::CLI11 CLI11 CLI CLI.hpp Version.hpp
                   "#define CLI11_VERSION_MAJOR +([0-9]+)" 2)
