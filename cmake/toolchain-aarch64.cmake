# Cross build for 64-bit Arm Linux with Debian's cross compiler and the
# arm64 packages of Debian's multiarch (libhwy-dev:arm64, libgtest-dev:arm64,
# libgomp1:arm64), run through qemu-user:
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake
#
# `make test-arm64` does this and runs the vector kernel's lean differential
# test and its lane primitives' test under qemu-aarch64 (see tests/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch: arm64 libraries and their CMake and pkg-config files live in
# /usr/lib/aarch64-linux-gnu; the headers in /usr/include serve every
# architecture. Nothing of the build machine's own architecture may be found.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# Test programs (and GoogleTest's test discovery) run under qemu-user; the
# arm64 loader and libraries come from libc6:arm64 and friends.
find_program(TOFIMAGE_QEMU_AARCH64 qemu-aarch64)
if(TOFIMAGE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOFIMAGE_QEMU_AARCH64})
endif()
