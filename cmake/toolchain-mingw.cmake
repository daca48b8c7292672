# Cross build for 64-bit Windows with Debian's MinGW-w64 cross compiler
# (g++-mingw-w64-x86-64-posix: GCC with winpthreads, which OpenMP needs),
# run under Wine (wine64):
#
#   cmake -S tests/mingw -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw.cmake
#
# `make test-windows` does this (see tests/mingw/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TOFIMAGE_WINE NAMES wine wine64)
if(TOFIMAGE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOFIMAGE_WINE})
endif()
