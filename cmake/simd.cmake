# Vector kernel (the vector sources of src/engine.txt): Google Highway
# compiles it for every instruction set of the architecture and picks the
# best one the CPU has at run time. Without Highway (or with
# TOFIMAGE_USE_HWY=OFF) the engine keeps the scalar kernel only, with the
# same results.
option(TOFIMAGE_USE_HWY "Build the vector kernel when Google Highway (>= 1.0) is found" ON)

set(TOFIMAGE_HWY_LIB "")
set(TOFIMAGE_HWY_UNRUNNABLE 0)
set(TOFIMAGE_HWY_UNRUNNABLE_NAMES "")
if(TOFIMAGE_USE_HWY)
  # Highway's own CMake package first, then pkg-config, then a plain search.
  find_package(hwy 1.0 CONFIG QUIET)
  if(TARGET hwy::hwy)
    set(TOFIMAGE_HWY_LIB hwy::hwy)
    set(TOFIMAGE_HWY_VERSION ${hwy_VERSION})
  else()
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(TOFIMAGE_HWY QUIET IMPORTED_TARGET libhwy>=1.0)
    endif()
    if(TOFIMAGE_HWY_FOUND)
      set(TOFIMAGE_HWY_LIB PkgConfig::TOFIMAGE_HWY)
    else()
      find_path(TOFIMAGE_HWY_INCLUDE_DIR hwy/highway.h)
      find_library(TOFIMAGE_HWY_LIBRARY hwy)
      set(_tofimage_hwy_major 0)
      if(TOFIMAGE_HWY_INCLUDE_DIR)
        file(STRINGS ${TOFIMAGE_HWY_INCLUDE_DIR}/hwy/highway.h _tofimage_hwy_version
             REGEX "^#define HWY_(MAJOR|MINOR|PATCH) ")
        string(REGEX MATCH "HWY_MAJOR ([0-9]+)" _m "${_tofimage_hwy_version}")
        set(_tofimage_hwy_major ${CMAKE_MATCH_1})
        string(REGEX REPLACE "[^0-9;]" "" _tofimage_hwy_digits "${_tofimage_hwy_version}")
        string(REPLACE ";" "." TOFIMAGE_HWY_VERSION "${_tofimage_hwy_digits}")
      endif()
      if(TOFIMAGE_HWY_INCLUDE_DIR AND TOFIMAGE_HWY_LIBRARY AND _tofimage_hwy_major GREATER_EQUAL 1)
        add_library(tofimage_hwy INTERFACE)
        target_include_directories(tofimage_hwy INTERFACE ${TOFIMAGE_HWY_INCLUDE_DIR})
        target_link_libraries(tofimage_hwy INTERFACE ${TOFIMAGE_HWY_LIBRARY})
        set(TOFIMAGE_HWY_LIB tofimage_hwy)
      endif()
    endif()
  endif()
endif()

if(TOFIMAGE_HWY_LIB)
  message(STATUS "tofimage: vector kernel with Google Highway ${TOFIMAGE_HWY_VERSION}")
  # The engine's own floating-point flags (TOFIMAGE_FP_FLAGS, no contraction)
  # apply to this source like to every other source of the engine.
  target_sources(tofimage_engine PRIVATE ${TOFIMAGE_ENGINE_vector})
  target_compile_definitions(tofimage_engine PRIVATE TOFIMAGE_HAVE_HWY)
  target_link_libraries(tofimage_engine PUBLIC ${TOFIMAGE_HWY_LIB})
  # MinGW GCC may spill 32- and 64-byte vectors to stack slots with aligned
  # moves where Windows aligns the stack to 16 bytes only (GCC bug 54412);
  # binutils 2.38 and later make them unaligned. Without that, no AVX2 or
  # AVX-512 (x86 targets better than SSE4 have the lower bits).
  if(MINGW)
    include(CheckCXXCompilerFlag)
    check_cxx_compiler_flag(-Wa,-muse-unaligned-vector-move TOFIMAGE_AS_UNALIGNED_MOVES)
    if(TOFIMAGE_AS_UNALIGNED_MOVES)
      target_compile_options(tofimage_engine PRIVATE -Wa,-muse-unaligned-vector-move)
    else()
      target_compile_definitions(tofimage_engine PRIVATE "HWY_DISABLED_TARGETS=(HWY_SSE4-1)")
      message(STATUS "tofimage: the assembler lacks -muse-unaligned-vector-move (binutils 2.38); "
        "vector kernel without AVX2 and AVX-512")
    endif()
  endif()

  # The instruction sets that this compiler and these flags would compile
  # the vector kernel for but that this CPU cannot run, found by running a
  # probe (cmake/hwy_unrunnable_targets.cpp): TOFIMAGE_HWY_UNRUNNABLE is
  # their Highway mask (0 when the CPU runs them all, when cross-compiling
  # or when the probe fails), TOFIMAGE_HWY_UNRUNNABLE_NAMES their names.
  # Trees that only run the kernel here may leave them out
  # (HWY_DISABLED_TARGETS): the sanitizer and fuzzing trees
  # (cmake/robustness.cmake) and the Octave test of build_tofimage
  # (cmake/mex.cmake). Not measured for a tree without tests.
  if((TOFIMAGE_BUILD_TESTS OR TOFIMAGE_SANITIZE OR TOFIMAGE_FUZZ) AND NOT CMAKE_CROSSCOMPILING)
    if(TOFIMAGE_HWY_LIB STREQUAL "tofimage_hwy")
      # Not an imported target: try_run takes its parts.
      set(_probe_flags CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${TOFIMAGE_HWY_INCLUDE_DIR}")
      set(_probe_libs ${TOFIMAGE_HWY_LIBRARY})
    else()
      set(_probe_flags "")
      set(_probe_libs ${TOFIMAGE_HWY_LIB})
    endif()
    try_run(_probe_run _probe_compiled ${PROJECT_BINARY_DIR}/hwy_unrunnable_targets
      ${PROJECT_SOURCE_DIR}/cmake/hwy_unrunnable_targets.cpp
      ${_probe_flags}
      LINK_LIBRARIES ${_probe_libs}
      COMPILE_OUTPUT_VARIABLE _probe_compile_out
      RUN_OUTPUT_VARIABLE _probe_out)
    if(_probe_compiled AND _probe_run EQUAL 0 AND _probe_out MATCHES "^([0-9]+)\n([^\n]*)")
      set(TOFIMAGE_HWY_UNRUNNABLE ${CMAKE_MATCH_1})
      set(TOFIMAGE_HWY_UNRUNNABLE_NAMES "${CMAKE_MATCH_2}")
    else()
      message(WARNING "tofimage: the probe of the instruction sets this CPU runs failed:\n"
        "${_probe_compile_out}${_probe_out}")
    endif()
  endif()

  if(TOFIMAGE_BUILD_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
    add_executable(simd_test tests/simd_test.cpp tests/plan_test.cpp)
    target_include_directories(simd_test PRIVATE tests)
    target_compile_options(simd_test PRIVATE ${TOFIMAGE_FP_FLAGS})
    target_link_libraries(simd_test PRIVATE tofimage_engine GTest::gtest_main)
    gtest_discover_tests(simd_test DISCOVERY_TIMEOUT 60)
    # The lane primitives of every instruction set's family against scalar
    # models, compiled once per target like the kernel.
    add_executable(primitive_test tests/primitive_test.cpp)
    target_include_directories(primitive_test PRIVATE tests)
    target_compile_options(primitive_test PRIVATE ${TOFIMAGE_FP_FLAGS})
    target_link_libraries(primitive_test PRIVATE tofimage_engine GTest::gtest_main)
    gtest_discover_tests(primitive_test DISCOVERY_TIMEOUT 60)
  endif()
elseif(TOFIMAGE_USE_HWY)
  message(STATUS "tofimage: Google Highway (>= 1.0) not found; scalar kernel only")
else()
  message(STATUS "tofimage: vector kernel off (TOFIMAGE_USE_HWY=OFF); scalar kernel only")
endif()
