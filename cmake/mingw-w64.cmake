# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# The posix flavour of the compiler is the one whose libstdc++ has std::thread and
# std::mutex. The runtime (libgcc, libstdc++, winpthread) is linked in statically, so the
# programs run without any DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSEL_MINGW_TRIPLET}-windres)

# Libraries, headers and packages come from the MinGW sysroot only; programs run at build
# time (help2man, the host's tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
