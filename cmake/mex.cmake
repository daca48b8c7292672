# The tofimage MEX module.
#
# GNU Octave (when mkoctfile is found): build/tofimage.mex, compiled against
# the headers and libraries mkoctfile reports, plus the Octave tests of the
# modules (tests/octave/test_*.m, each run by CTest through the suite's
# runner, run_tests, inside octave-cli).
# MATLAB (when FindMatlab finds one): build/tofimage.<mexext> through
# matlab_add_mex, with the separate-complex C API (-R2017b), whose mxGetPr
# gives the real part of complex inputs.
#
# Both link the engine (tofimage_engine, with OpenMP and its floating-point
# flags). The help files and the other M-files users call are copied next to
# the modules, so that the build folder alone on the path is enough. The stack
# gateway tofimage_frames and the general beamformer tofimage_beamform are
# built beside it in the same way.
# check_linker_flag came with CMake 3.18; before it (Ubuntu 20.04 ships
# 3.16), the same test as a link of an empty program with the flag.
if(CMAKE_VERSION VERSION_LESS 3.18)
  include(CheckCXXSourceCompiles)
  function(check_linker_flag lang flag var)
    set(CMAKE_REQUIRED_LINK_OPTIONS "${flag}")
    check_cxx_source_compiles("int main() { return 0; }" ${var})
  endfunction()
else()
  include(CheckLinkerFlag)
endif()

# Linker flags for a module that the host loads and unloads:
#  -z nodelete    the module, and with it the OpenMP runtime it brought in,
#                 stays mapped after the host unloads it (`munlock tofimage`
#                 then `clear mex`; the module locks itself at its first
#                 call, src/tofimage.cpp). An OpenMP runtime unmapped under
#                 its idle worker threads crashes the host at the next
#                 wake-up or at exit. The linkers of macOS and MinGW have
#                 no such flag; there the module's lock alone keeps it.
#  --exclude-libs the engine's symbols stay private to the module.
set(TOFIMAGE_MEX_LINK_OPTIONS "")
if(NOT WIN32 AND NOT APPLE)
  check_linker_flag(CXX "-Wl,-z,nodelete" TOFIMAGE_LD_NODELETE)
  check_linker_flag(CXX "-Wl,--exclude-libs,ALL" TOFIMAGE_LD_EXCLUDE_LIBS)
  if(TOFIMAGE_LD_NODELETE)
    list(APPEND TOFIMAGE_MEX_LINK_OPTIONS "-Wl,-z,nodelete")
  endif()
  if(TOFIMAGE_LD_EXCLUDE_LIBS)
    list(APPEND TOFIMAGE_MEX_LINK_OPTIONS "-Wl,--exclude-libs,ALL")
  endif()
endif()

# MATLAB on Linux starts with its own libstdc++ (sys/os/glnxa64), which may
# be older than the compiler's: a module that needs a newer GLIBCXX_ or
# CXXABI_ version than that copy has is refused ("Invalid MEX-file ...
# version `GLIBCXX_3.4.32' not found", as GCC 13 and later builds are in
# every release to date). The MATLAB modules take the C++ runtime into
# themselves; OpenMP stays shared, so that MATLAB's process has one runtime.
# --exclude-libs (above) keeps its symbols private to the module.
# build_tofimage links the same way.
set(TOFIMAGE_MATLAB_LINUX_LINK_OPTIONS -static-libstdc++ -static-libgcc)

# ---------------------------------------------------------------- GNU Octave
find_program(TOFIMAGE_MKOCTFILE NAMES mkoctfile)
find_program(TOFIMAGE_OCTAVE_CLI NAMES octave-cli octave)

function(tofimage_mkoctfile_var out name)
  execute_process(COMMAND ${TOFIMAGE_MKOCTFILE} -p ${name}
    OUTPUT_VARIABLE value ERROR_QUIET RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    set(value "")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

if(TOFIMAGE_MKOCTFILE)
  tofimage_mkoctfile_var(_oct_incflags INCFLAGS)
  tofimage_mkoctfile_var(_oct_libdir OCTLIBDIR)
  tofimage_mkoctfile_var(_oct_link_deps OCT_LINK_DEPS)

  separate_arguments(_oct_incflags UNIX_COMMAND "${_oct_incflags}")
  set(TOFIMAGE_OCTAVE_INCLUDE_DIRS "")
  foreach(flag IN LISTS _oct_incflags)
    if(flag MATCHES "^-I(.+)$")
      get_filename_component(dir "${CMAKE_MATCH_1}" REALPATH)
      list(APPEND TOFIMAGE_OCTAVE_INCLUDE_DIRS "${dir}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES TOFIMAGE_OCTAVE_INCLUDE_DIRS)

  # What mkoctfile links a module against on this platform (OCT_LINK_DEPS):
  # Octave's own libraries (-loctinterp -loctave, from OCTLIBDIR) where the
  # platform needs them resolved at link time, as on Windows and macOS;
  # nothing on Linux, where the MEX API is taken from the host when the
  # module is loaded, as mkoctfile itself does there.
  separate_arguments(_oct_link_deps UNIX_COMMAND "${_oct_link_deps}")
  set(_oct_lib_hints "${_oct_libdir}")
  foreach(flag IN LISTS _oct_link_deps)
    if(flag MATCHES "^-L(.+)$")
      list(APPEND _oct_lib_hints "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(TOFIMAGE_OCTAVE_LIBRARIES "")
  foreach(flag IN LISTS _oct_link_deps)
    if(flag MATCHES "^-l(.+)$")
      set(lib "${CMAKE_MATCH_1}")
      find_library(TOFIMAGE_OCTAVE_LIB_${lib} NAMES ${lib} HINTS ${_oct_lib_hints})
      if(TOFIMAGE_OCTAVE_LIB_${lib})
        list(APPEND TOFIMAGE_OCTAVE_LIBRARIES "${TOFIMAGE_OCTAVE_LIB_${lib}}")
      else()
        list(APPEND TOFIMAGE_OCTAVE_LIBRARIES "${flag}")
      endif()
    elseif(NOT flag MATCHES "^-L")
      list(APPEND TOFIMAGE_OCTAVE_LIBRARIES "${flag}")
    endif()
  endforeach()

  find_file(TOFIMAGE_OCTAVE_MEX_H mex.h PATHS ${TOFIMAGE_OCTAVE_INCLUDE_DIRS} NO_DEFAULT_PATH)
endif()

# tofimage_add_octave_module(TARGET SOURCE...): another Octave module from
# SOURCE, built exactly as tofimage_octave (its flags, libraries, linker
# options, folder and file name pattern).
function(tofimage_add_octave_module target)
  add_library(${target} MODULE ${ARGN})
  foreach(prop INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS LINK_LIBRARIES
               LINK_OPTIONS LIBRARY_OUTPUT_DIRECTORY RUNTIME_OUTPUT_DIRECTORY PREFIX SUFFIX)
    get_target_property(value tofimage_octave ${prop})
    if(NOT value STREQUAL "value-NOTFOUND")
      set_property(TARGET ${target} PROPERTY ${prop} "${value}")
    endif()
  endforeach()
endfunction()

if(TOFIMAGE_MKOCTFILE AND TOFIMAGE_OCTAVE_MEX_H)
  message(STATUS "tofimage: building the Octave MEX module (${TOFIMAGE_MKOCTFILE})")
  add_library(tofimage_octave MODULE src/tofimage.cpp)
  target_include_directories(tofimage_octave PRIVATE ${TOFIMAGE_OCTAVE_INCLUDE_DIRS})
  target_compile_options(tofimage_octave PRIVATE ${TOFIMAGE_FP_FLAGS}
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra>)
  target_link_libraries(tofimage_octave PRIVATE tofimage_engine OpenMP::OpenMP_CXX
    ${TOFIMAGE_OCTAVE_LIBRARIES})
  target_link_options(tofimage_octave PRIVATE ${TOFIMAGE_MEX_LINK_OPTIONS})
  # $<1:...> keeps multi-configuration generators from adding a subfolder.
  set_target_properties(tofimage_octave PROPERTIES
    OUTPUT_NAME tofimage PREFIX "" SUFFIX ".mex"
    LIBRARY_OUTPUT_DIRECTORY $<1:${PROJECT_BINARY_DIR}>)
  # The other modules of src/engine.txt (build/<name>.mex: the stack
  # gateway tofimage_frames, the general beamformer tofimage_beamform, the
  # speed-of-sound search tofimage_autofocus_search),
  # built exactly as tofimage is, from the settings of the target above.
  foreach(module IN LISTS TOFIMAGE_ENGINE_module)
    if(NOT module STREQUAL "tofimage")
      tofimage_add_octave_module(${module}_octave src/${module}.cpp)
      set_target_properties(${module}_octave PROPERTIES OUTPUT_NAME ${module})
    endif()
  endforeach()
  set(TOFIMAGE_HAVE_OCTAVE_MEX ON)
else()
  message(STATUS "tofimage: mkoctfile or Octave's mex.h not found; no Octave MEX module")
  set(TOFIMAGE_HAVE_OCTAVE_MEX OFF)
endif()

# A shared Highway on Windows: its DLL next to the module, where Windows
# looks for it, copied only when it changed (a loaded module holds the old
# copy open: then restart MATLAB or Octave and build again).
set(TOFIMAGE_HWY_DLL "")
if(WIN32 AND TARGET hwy::hwy)
  get_target_property(_hwy_type hwy::hwy TYPE)
  if(_hwy_type STREQUAL "SHARED_LIBRARY")
    set(TOFIMAGE_HWY_DLL $<TARGET_FILE:hwy::hwy>)
  endif()
elseif(WIN32 AND TOFIMAGE_HWY_LIBRARY)
  get_filename_component(_hwy_libdir "${TOFIMAGE_HWY_LIBRARY}" DIRECTORY)
  find_file(TOFIMAGE_HWY_DLL_FILE NAMES hwy.dll libhwy.dll HINTS ${_hwy_libdir}/../bin NO_DEFAULT_PATH)
  if(TOFIMAGE_HWY_DLL_FILE)
    set(TOFIMAGE_HWY_DLL ${TOFIMAGE_HWY_DLL_FILE})
  endif()
endif()
# The modules are built into one folder: each one's copy waits for the one
# before, so that two copies of the same DLL never run at once.
function(tofimage_copy_hwy_dll target)
  if(TOFIMAGE_HWY_DLL)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${TOFIMAGE_HWY_DLL} $<TARGET_FILE_DIR:${target}>
      COMMENT "hwy.dll next to the module (if it changed)")
    get_property(previous GLOBAL PROPERTY TOFIMAGE_HWY_DLL_LAST_COPY)
    if(previous)
      add_dependencies(${target} ${previous})
    endif()
    set_property(GLOBAL PROPERTY TOFIMAGE_HWY_DLL_LAST_COPY ${target})
  endif()
endfunction()
if(TARGET tofimage_octave)
  foreach(module IN LISTS TOFIMAGE_ENGINE_module)
    tofimage_copy_hwy_dll(${module}_octave)
  endforeach()
endif()

# -------------------------------------------------------------------- MATLAB
# Looked for quietly: most machines have none. Not on macOS: the engine
# links the OpenMP runtime CMake found (Homebrew's libomp), and MATLAB runs
# its own (libomp or libiomp5); a second runtime in MATLAB aborts it ("OMP:
# Error #15") or crashes it. build_tofimage links MATLAB's own runtime there.
if(APPLE)
  find_package(Matlab QUIET COMPONENTS MX_LIBRARY)
  if(Matlab_FOUND)
    message(WARNING "tofimage: no MATLAB module from CMake on macOS: it would load a second OpenMP "
      "runtime into MATLAB (\"OMP: Error #15\"); build it in MATLAB with build_tofimage "
      "(matlab/build_tofimage.m), which links MATLAB's own")
    set(Matlab_FOUND FALSE)
  endif()
else()
  find_package(Matlab QUIET COMPONENTS MX_LIBRARY)
endif()
if(Matlab_FOUND)
  message(STATUS "tofimage: building the MATLAB MEX module (${Matlab_ROOT_DIR})")
  # The stack gateways ask MATLAB whether Ctrl-C was pressed with
  # utIsInterruptPending, from MATLAB's libut (beside libmex): undocumented,
  # but what MEX functions have long used to be interruptible.
  get_filename_component(_matlab_libdir "${Matlab_MEX_LIBRARY}" DIRECTORY)
  find_library(TOFIMAGE_MATLAB_UT_LIBRARY NAMES ut libut HINTS ${_matlab_libdir} NO_DEFAULT_PATH)
  if(NOT TOFIMAGE_MATLAB_UT_LIBRARY)
    message(FATAL_ERROR "tofimage: MATLAB's libut not found in ${_matlab_libdir}")
  endif()
  # Each module of src/engine.txt; those it lists under ctrl_c (the stack
  # gateways) with libut.
  foreach(module IN LISTS TOFIMAGE_ENGINE_module)
    set(_ut "")
    if(module IN_LIST TOFIMAGE_ENGINE_ctrl_c)
      set(_ut ${TOFIMAGE_MATLAB_UT_LIBRARY})
    endif()
    matlab_add_mex(NAME ${module}_matlab MODULE R2017b
      OUTPUT_NAME ${module}
      SRC src/${module}.cpp
      LINK_TO tofimage_engine OpenMP::OpenMP_CXX ${_ut})
    target_compile_options(${module}_matlab PRIVATE ${TOFIMAGE_FP_FLAGS})
    target_link_options(${module}_matlab PRIVATE ${TOFIMAGE_MEX_LINK_OPTIONS})
    set_target_properties(${module}_matlab PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY $<1:${PROJECT_BINARY_DIR}>
      RUNTIME_OUTPUT_DIRECTORY $<1:${PROJECT_BINARY_DIR}>)
    tofimage_copy_hwy_dll(${module}_matlab)
  endforeach()
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    foreach(module IN LISTS TOFIMAGE_ENGINE_module)
      target_link_options(${module}_matlab PRIVATE ${TOFIMAGE_MATLAB_LINUX_LINK_OPTIONS})
    endforeach()
  endif()
endif()

# The MATLAB-on-Linux link checked where MATLAB is absent: the modules
# linked as for MATLAB, against the project's stand-in of MATLAB's MEX API
# (tests/mex/standin; mex refuses unresolved symbols, and so does this
# link), into build/matlab-linux/. Their dynamic symbols (objdump -T), and
# those of the shared libraries they need besides the host's runtimes (a
# shared libhwy), may name no libstdc++ version newer than MATLAB R2021a's
# own copy has, the oldest release the MATLAB workflow runs: GCC 8's
# GLIBCXX_3.4.25 and CXXABI_1.3.11 (R2021a's Linux compiler is GCC 8; the
# version table is libstdc++'s manual, "ABI Policy and Guidelines").
# GCC 12 builds of the modules need no more even when linked dynamically, so
# the check is also shown failing: tofimage with a source that needs
# GLIBCXX_3.4.29 (tests/mex/standin/newer_runtime.cpp) must pass when linked
# as for MATLAB (planted-static/) and fail without the static C++ runtime
# (planted-shared/).
find_package(Python3 COMPONENTS Interpreter QUIET)
if(TOFIMAGE_BUILD_TESTS AND CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING
   AND NOT TOFIMAGE_SANITIZE AND NOT TOFIMAGE_FUZZ AND CMAKE_OBJDUMP AND Python3_Interpreter_FOUND
   AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_library(mex_standin SHARED tests/mex/standin/mex_standin.cpp)
  target_include_directories(mex_standin PUBLIC tests/mex/standin)
  set_target_properties(mex_standin PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/matlab-linux)
  # One module of the check: NAME from SOURCE..., into matlab-linux/FOLDER,
  # with the C++ runtime linked in unless FOLDER is planted-shared.
  set(_matlab_linux_static "")
  function(tofimage_matlab_linux_module folder name)
    set(target ${name}_matlab_linux_${folder})
    string(REPLACE "-" "_" target ${target})
    add_library(${target} MODULE ${ARGN})
    target_compile_options(${target} PRIVATE ${TOFIMAGE_FP_FLAGS})
    target_link_libraries(${target} PRIVATE tofimage_engine OpenMP::OpenMP_CXX mex_standin)
    target_link_options(${target} PRIVATE ${TOFIMAGE_MEX_LINK_OPTIONS} -Wl,--no-undefined)
    if(NOT folder STREQUAL "planted-shared")
      target_link_options(${target} PRIVATE ${TOFIMAGE_MATLAB_LINUX_LINK_OPTIONS})
      list(APPEND _matlab_linux_static $<TARGET_FILE:${target}>)
      set(_matlab_linux_static ${_matlab_linux_static} PARENT_SCOPE)
    endif()
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} PREFIX "" SUFFIX ".mexa64"
      LIBRARY_OUTPUT_DIRECTORY $<1:${PROJECT_BINARY_DIR}/matlab-linux/${folder}>)
  endfunction()
  foreach(module IN LISTS TOFIMAGE_ENGINE_module)
    tofimage_matlab_linux_module(modules ${module} src/${module}.cpp)
  endforeach()
  foreach(folder planted-static planted-shared)
    tofimage_matlab_linux_module(${folder} tofimage src/tofimage.cpp tests/mex/standin/newer_runtime.cpp)
  endforeach()
  set(_r2021a_runtime GLIBCXX_3.4.25 CXXABI_1.3.11)
  set(_check ${PROJECT_SOURCE_DIR}/tests/mex/check_symbol_versions.py)
  add_test(NAME matlab_linux_runtime
    COMMAND Python3::Interpreter ${_check} ${CMAKE_OBJDUMP} ${_r2021a_runtime} -- ${_matlab_linux_static})
  add_test(NAME matlab_linux_runtime_planted
    COMMAND Python3::Interpreter ${_check} --expect-excess ${CMAKE_OBJDUMP} ${_r2021a_runtime} --
      $<TARGET_FILE:tofimage_matlab_linux_planted_shared>)
  set_tests_properties(matlab_linux_runtime matlab_linux_runtime_planted PROPERTIES TIMEOUT 60)
endif()

# What a user calls besides the modules comes with them, so that the build
# folder alone on the path is enough: the help files (with private/
# call_module.m, which they run when the module is missing or behind them)
# and tofimage_grid.m, the user entries of src/engine.txt. build_tofimage
# copies the same files to its outdir.
# The demo's files (demo_tofimage, simulate_scan, source_peaks) and the
# build script stay in matlab/: they belong to the source tree.
if(TOFIMAGE_HAVE_OCTAVE_MEX OR Matlab_FOUND)
  foreach(file IN LISTS TOFIMAGE_ENGINE_user)
    configure_file(${PROJECT_SOURCE_DIR}/matlab/${file} ${PROJECT_BINARY_DIR}/${file} COPYONLY)
  endforeach()
endif()

# --------------------------------------------------------------- Octave tests
# One CTest test, octave_<name>, for each tests/octave/<name>.m of the suite,
# run by its runner (run_tests('^<name>$'), as MATLAB runs the whole suite)
# inside octave-cli with the modules and tests/octave on the path. A failure
# makes run_tests raise an error and octave-cli exit with status 1; a test
# that skips itself shows as skipped. test_valgrind_session is left out:
# octave_valgrind_tofimage (cmake/robustness.cmake) runs its script.
if(TOFIMAGE_BUILD_TESTS AND TOFIMAGE_HAVE_OCTAVE_MEX AND TOFIMAGE_OCTAVE_CLI)
  file(GLOB _tofimage_m_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/octave/test_*.m)
  foreach(test_file IN LISTS _tofimage_m_tests)
    get_filename_component(test_name ${test_file} NAME_WE)
    if(test_name STREQUAL "test_valgrind_session")
      continue()
    endif()
    add_test(NAME octave_${test_name}
      COMMAND ${TOFIMAGE_OCTAVE_CLI} --no-gui -q -H --no-site-file
        --path $<TARGET_FILE_DIR:tofimage_octave>
        --path ${PROJECT_SOURCE_DIR}/tests/octave
        --eval "run_tests('^${test_name}$')")
    # Run from the tests' folder: Octave puts the current folder first on
    # the path, and the build folder there would outrank every addpath.
    set_tests_properties(octave_${test_name} PROPERTIES
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/octave
      TIMEOUT 600
      SKIP_REGULAR_EXPRESSION "\n0 passed, 0 failed, 1 skipped")
  endforeach()
  # build_tofimage must find the Highway this build found and compile the
  # vector kernel with it.
  if(TOFIMAGE_HWY_LIB)
    set(_tofimage_kernel vector)
  else()
    set(_tofimage_kernel scalar)
  endif()
  # Its modules only run here: they leave out the instruction sets this CPU
  # cannot run (cmake/simd.cmake), which this tree's build compiles.
  set_property(TEST octave_test_build_tofimage_script APPEND PROPERTY
    ENVIRONMENT TOFIMAGE_EXPECT_KERNEL=${_tofimage_kernel} TOFIMAGE_HWY_UNRUNNABLE=${TOFIMAGE_HWY_UNRUNNABLE})
  # The fuzzer's full default run here; OpenMP's idle workers yield the CPU
  # between its thousands of short calls.
  set_property(TEST octave_test_fuzz_tofimage APPEND PROPERTY
    ENVIRONMENT TOFIMAGE_FUZZ_CALLS=5000 OMP_WAIT_POLICY=PASSIVE)
endif()

# Running out of memory, in both gateways: test builds of the modules
# (build/alloc-limit/) whose operator new fails beyond a limit the test sets
# (tests/mex/alloc_limit.cpp). -Bsymbolic binds the module's allocations to
# that operator new rather than to the host's.
if(TOFIMAGE_BUILD_TESTS AND TOFIMAGE_HAVE_OCTAVE_MEX AND TOFIMAGE_OCTAVE_CLI
   AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  foreach(module IN LISTS TOFIMAGE_ENGINE_module)
    tofimage_add_octave_module(${module}_alloc_limit src/${module}.cpp tests/mex/alloc_limit.cpp)
    target_link_options(${module}_alloc_limit PRIVATE -Wl,-Bsymbolic)
    set_target_properties(${module}_alloc_limit PROPERTIES OUTPUT_NAME ${module}
      LIBRARY_OUTPUT_DIRECTORY $<1:${PROJECT_BINARY_DIR}/alloc-limit>)
  endforeach()
  add_test(NAME octave_out_of_memory_modules
    COMMAND ${TOFIMAGE_OCTAVE_CLI} --no-gui -q -H --no-site-file
      --path ${PROJECT_BINARY_DIR}/alloc-limit
      --path ${PROJECT_SOURCE_DIR}/tests/octave
      --eval out_of_memory_modules)
  set_tests_properties(octave_out_of_memory_modules PROPERTIES
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/octave TIMEOUT 120)
endif()

# Ctrl-C in an interactive Octave session, pressed during a long
# tofimage_frames: the prompt must be back within one batch of frames, the
# session must be idle and the next call right. Also the progress line of a
# long call, and none for a short one. Driven from outside through a
# pseudo-terminal, as a user at a terminal.
find_program(TOFIMAGE_SESSION_PYTHON NAMES python3)
if(TOFIMAGE_BUILD_TESTS AND TOFIMAGE_HAVE_OCTAVE_MEX AND TOFIMAGE_OCTAVE_CLI
   AND TOFIMAGE_SESSION_PYTHON AND NOT WIN32)
  add_test(NAME octave_interrupt_session
    COMMAND ${TOFIMAGE_SESSION_PYTHON} ${PROJECT_SOURCE_DIR}/tests/octave/interrupt_session.py
      ${TOFIMAGE_OCTAVE_CLI} $<TARGET_FILE_DIR:tofimage_octave> ${PROJECT_SOURCE_DIR}/tests/octave)
  set_tests_properties(octave_interrupt_session PROPERTIES
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/octave TIMEOUT 180)
endif()

# Load/call/unload cycles of the module in a host that has no OpenMP runtime
# of its own (as MATLAB with a GCC-built module): Octave itself keeps libgomp
# loaded, so only a host like this shows whether unloading is safe.
if(TOFIMAGE_BUILD_TESTS AND TOFIMAGE_HAVE_OCTAVE_MEX AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_executable(mex_unload_host tests/mex/mex_unload_host.cpp)
  set_target_properties(mex_unload_host PROPERTIES ENABLE_EXPORTS ON)
  # The worked example from the tests' shared header; the engine itself is
  # not linked: the host must reach it only through the module.
  target_include_directories(mex_unload_host PRIVATE src tests)
  target_link_libraries(mex_unload_host PRIVATE ${CMAKE_DL_LIBS})
  add_dependencies(mex_unload_host tofimage_octave tofimage_frames_octave tofimage_beamform_octave)
  add_test(NAME mex_unload_cycles
    COMMAND mex_unload_host $<TARGET_FILE:tofimage_octave> 30)
  add_test(NAME mex_unload_cycles_frames
    COMMAND mex_unload_host $<TARGET_FILE:tofimage_frames_octave> 30)
  add_test(NAME mex_unload_cycles_beamform
    COMMAND mex_unload_host $<TARGET_FILE:tofimage_beamform_octave> 30)
  set_tests_properties(mex_unload_cycles mex_unload_cycles_frames mex_unload_cycles_beamform
    PROPERTIES TIMEOUT 120)
endif()
