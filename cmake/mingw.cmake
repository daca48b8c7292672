# Windows compile check: the gateways, the engine and the vector kernel
# compiled with Debian's MinGW-w64 cross compiler against Octave's MEX
# header and Highway's headers at MSVC's OpenMP 2.0
# (tests/mingw/compile_check.cmake). Compile only: the Windows build that
# links and runs is `make test-windows` (tests/mingw/CMakeLists.txt).
if(NOT TOFIMAGE_BUILD_TESTS OR NOT TOFIMAGE_OCTAVE_MEX_H)
  return()
endif()
find_program(TOFIMAGE_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
find_path(TOFIMAGE_HWY_HEADER_DIR hwy/highway.h)
if(TOFIMAGE_MINGW_CXX AND TOFIMAGE_HWY_HEADER_DIR)
  add_test(NAME mingw_compile_check
    COMMAND ${CMAKE_COMMAND}
      -DCXX=${TOFIMAGE_MINGW_CXX}
      -DSRC=${PROJECT_SOURCE_DIR}/src
      "-DOCTAVE_INCLUDES=${TOFIMAGE_OCTAVE_INCLUDE_DIRS}"
      -DHWY_INCLUDE=${TOFIMAGE_HWY_HEADER_DIR}
      -DOUT=${PROJECT_BINARY_DIR}/mingw-check
      -DOMP2=${PROJECT_SOURCE_DIR}/tests/mingw/openmp2
      -P ${PROJECT_SOURCE_DIR}/tests/mingw/compile_check.cmake)
  set_tests_properties(mingw_compile_check PROPERTIES TIMEOUT 600)
else()
  message(STATUS "tofimage: MinGW-w64 (g++-mingw-w64-x86-64-posix) or Highway's headers not found; "
    "no Windows compile check")
endif()
