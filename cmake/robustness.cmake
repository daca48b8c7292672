# Robustness checks.
#
#   TOFIMAGE_SANITIZE=ON  builds the engine and its tests with AddressSanitizer
#                         and UndefinedBehaviorSanitizer; the first report ends
#                         the process, so any report fails its test.
#   TOFIMAGE_FUZZ=ON      (clang) builds recon_fuzz, the coverage-guided
#                         libFuzzer target of the engine, with both sanitizers.
#
# Every tree with tests also builds fuzz_replay, the same fuzz target without
# libFuzzer, and replays the seed corpus and a stream of random inputs through
# it: with the project's own compiler and flags in the normal tree, under the
# sanitizers in the sanitizer tree. A MEX module built with a sanitizer cannot
# be loaded into a host that is not, so those trees leave the module out
# (TOFIMAGE_BUILD_MEX=OFF).

option(TOFIMAGE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TOFIMAGE_FUZZ "Build the libFuzzer target of the engine (clang only)" OFF)
set(_tofimage_fuzz_targets "")

if(TOFIMAGE_SANITIZE OR TOFIMAGE_FUZZ)
  if(MSVC)
    message(FATAL_ERROR "TOFIMAGE_SANITIZE and TOFIMAGE_FUZZ need GCC or Clang")
  endif()
  if(TARGET tofimage_octave OR TARGET tofimage_matlab)
    message(FATAL_ERROR "A sanitized MEX module cannot be loaded into Octave or MATLAB: "
      "configure sanitizer and fuzzing trees with -DTOFIMAGE_BUILD_MEX=OFF")
  endif()
  # The vector kernel is compiled once per instruction set, and under both
  # sanitizers that takes many times longer than without. These trees run
  # it on this CPU only, so they compile it only for the instruction sets
  # this CPU can run (cmake/simd.cmake); the tests and the fuzz target still
  # run every one of those. The normal tree compiles them all.
  option(TOFIMAGE_SANITIZE_ALL_TARGETS
    "Sanitizer and fuzzing trees: compile the vector kernel also for the instruction sets this CPU cannot run" OFF)
  if(NOT TOFIMAGE_HWY_UNRUNNABLE EQUAL 0 AND NOT TOFIMAGE_SANITIZE_ALL_TARGETS)
    message(STATUS "tofimage: vector kernel without the instruction sets this CPU cannot run "
      "(${TOFIMAGE_HWY_UNRUNNABLE_NAMES}); -DTOFIMAGE_SANITIZE_ALL_TARGETS=ON compiles them too")
    string(APPEND CMAKE_CXX_FLAGS " -DHWY_DISABLED_TARGETS=${TOFIMAGE_HWY_UNRUNNABLE}")
  endif()
  # Clang's "undefined" group includes float-cast-overflow; GCC's does not.
  set(_tofimage_san "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g")
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    string(APPEND _tofimage_san " -fsanitize=float-cast-overflow")
  endif()
  # GCC spends most of the sanitized vector kernel's compile in its register
  # allocator, which by default works loop region by loop region: at -O2,
  # 15 minutes of CPU for the AVX-512 pass alone. At -O1 (the level ASan's
  # authors advise) with the whole function as one region, 3 minutes; the
  # sanitizers instrument the same code.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(tofimage_engine PRIVATE -O1 -fira-region=one)
  endif()
  # Appended at the top level, these reach every target of the build,
  # including the engine defined before this file is read.
  string(APPEND CMAKE_CXX_FLAGS " ${_tofimage_san}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " ${_tofimage_san}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${_tofimage_san}")
endif()

if(TOFIMAGE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TOFIMAGE_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Coverage instrumentation everywhere; libFuzzer's main only in the target.
  string(APPEND CMAKE_CXX_FLAGS " -fsanitize=fuzzer-no-link")
  add_executable(recon_fuzz tests/fuzz/recon_fuzz.cpp)
  target_compile_options(recon_fuzz PRIVATE ${TOFIMAGE_FP_FLAGS})
  target_link_options(recon_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(recon_fuzz PRIVATE tofimage_engine)
  list(APPEND _tofimage_fuzz_targets recon_fuzz)
endif()

if(TOFIMAGE_BUILD_TESTS)
  add_executable(fuzz_replay tests/fuzz/recon_fuzz.cpp tests/fuzz/fuzz_replay.cpp)
  target_compile_options(fuzz_replay PRIVATE ${TOFIMAGE_FP_FLAGS})
  target_link_libraries(fuzz_replay PRIVATE tofimage_engine)
  list(APPEND _tofimage_fuzz_targets fuzz_replay)
  set(_tofimage_corpus ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/corpus)
  add_test(NAME fuzz.SeedCorpusIsCurrent COMMAND fuzz_replay --check-seeds ${_tofimage_corpus})
  add_test(NAME fuzz.SeedCorpus COMMAND fuzz_replay ${_tofimage_corpus})
  # Fewer under the sanitizers, which slow the kernels several times over.
  if(TOFIMAGE_SANITIZE)
    set(_tofimage_random_inputs 4000)
  else()
    set(_tofimage_random_inputs 10000)
  endif()
  add_test(NAME fuzz.RandomInputs
    COMMAND fuzz_replay --random ${_tofimage_random_inputs} 20240611)
  # Each input opens a few short parallel regions of up to 4 threads. OpenMP
  # threads that spin while they wait make that many times slower as soon as
  # the cores are shared (4 threads on 2 busy cores: 6x); waiting threads
  # that sleep change nothing in the results. The same holds for the Octave
  # tests below.
  set_tests_properties(fuzz.SeedCorpus fuzz.RandomInputs PROPERTIES
    ENVIRONMENT OMP_WAIT_POLICY=PASSIVE)
endif()

# With the vector kernel (cmake/simd.cmake found Highway), the fuzz target
# also runs it on each instruction set of this CPU, one at a time.
foreach(target IN LISTS _tofimage_fuzz_targets)
  if(TOFIMAGE_HWY_LIB)
    target_compile_definitions(${target} PRIVATE TOFIMAGE_FUZZ_HWY)
    target_link_libraries(${target} PRIVATE ${TOFIMAGE_HWY_LIB})
  endif()
endforeach()

# The module in Octave under valgrind memcheck (the random calls of the
# fuzzer are a test of the suite: octave_test_fuzz_tofimage). Only where the
# Octave module is built, which sanitizer and fuzzing trees never do.
if(TOFIMAGE_BUILD_TESTS AND TARGET tofimage_octave AND TOFIMAGE_OCTAVE_CLI)
  find_program(TOFIMAGE_VALGRIND NAMES valgrind)
  if(TOFIMAGE_VALGRIND)
    add_test(NAME octave_valgrind_tofimage
      COMMAND sh ${PROJECT_SOURCE_DIR}/tests/octave/valgrind_tofimage.sh
        ${TOFIMAGE_VALGRIND} ${TOFIMAGE_OCTAVE_CLI}
        $<TARGET_FILE_DIR:tofimage_octave> ${PROJECT_SOURCE_DIR}/tests/octave
        ${PROJECT_BINARY_DIR}/valgrind 150)
    set_tests_properties(octave_valgrind_tofimage PROPERTIES TIMEOUT 900
      ENVIRONMENT OMP_WAIT_POLICY=PASSIVE)
  else()
    message(STATUS "tofimage: valgrind not found; no memcheck test of the module")
  endif()
endif()
