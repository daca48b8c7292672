# Vector kernel (src/recon_simd.cpp): Google Highway compiles it for every
# instruction set of the architecture and picks the best one the CPU has at
# run time. Without Highway (or with TOFIMAGE_USE_HWY=OFF) the engine keeps
# the scalar kernel only, with the same results.
option(TOFIMAGE_USE_HWY "Build the vector kernel when Google Highway (>= 1.0) is found" ON)

set(TOFIMAGE_HWY_LIB "")
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
      if(TOFIMAGE_HWY_INCLUDE_DIR AND TOFIMAGE_HWY_LIBRARY
         AND EXISTS ${TOFIMAGE_HWY_INCLUDE_DIR}/hwy/foreach_target.h)
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
  target_sources(tofimage_engine PRIVATE src/recon_simd.cpp)
  target_compile_definitions(tofimage_engine PRIVATE TOFIMAGE_HAVE_HWY)
  target_link_libraries(tofimage_engine PUBLIC ${TOFIMAGE_HWY_LIB})

  if(TOFIMAGE_BUILD_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
    add_executable(simd_test tests/simd_test.cpp)
    target_include_directories(simd_test PRIVATE tests)
    target_compile_options(simd_test PRIVATE ${TOFIMAGE_FP_FLAGS})
    target_link_libraries(simd_test PRIVATE tofimage_engine GTest::gtest_main)
    gtest_discover_tests(simd_test DISCOVERY_TIMEOUT 60)
  endif()
else()
  message(STATUS "tofimage: Google Highway not found; scalar kernel only")
endif()
