# MSVC's OpenMP, checked with MinGW-w64 (cmake -P): the gateways, the engine
# and the vector kernel (as src/engine.txt lists them) compiled for 64-bit
# Windows against Octave's MEX header and Highway's headers as MSVC's
# /openmp sees the code (OpenMP 2.0: _OPENMP = 200203 and
# tests/mingw/openmp2/omp.h, which declares nothing later), so an unguarded
# newer OpenMP call fails. Compile only; the MinGW build itself is built and
# run under Wine by tests/mingw/CMakeLists.txt (make test-windows).
#
#   -DCXX=<x86_64-w64-mingw32-g++> -DSRC=<src> -DOCTAVE_INCLUDES=<dirs>
#   -DHWY_INCLUDE=<dir holding hwy/> -DOUT=<work dir> -DOMP2=<openmp2 dir>
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/engine.cmake)
list(TRANSFORM TOFIMAGE_ENGINE_module PREPEND ${SRC}/ OUTPUT_VARIABLE sources)
list(TRANSFORM sources APPEND .cpp)
list(APPEND sources ${TOFIMAGE_ENGINE_engine} ${TOFIMAGE_ENGINE_vector})

# Only hwy/ of the host's include folder: the cross compiler must not see the
# host's C library headers next to it.
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/include)
file(CREATE_LINK ${HWY_INCLUDE}/hwy ${OUT}/include/hwy SYMBOLIC COPY_ON_ERROR)

# Without optimisation: the check is what compiles, and -O0 compiles the
# vector kernel in a third of the time.
set(flags -std=c++17 -O0 -fopenmp ${TOFIMAGE_ENGINE_fp}
          -Wall -Wextra -DTOFIMAGE_HAVE_HWY -I${SRC})
foreach(dir IN LISTS OCTAVE_INCLUDES)
  list(APPEND flags -I${dir})
endforeach()
list(APPEND flags -isystem ${OUT}/include)

list(PREPEND flags -U_OPENMP -D_OPENMP=200203 -I${OMP2})
set(failed "")
foreach(source IN LISTS sources)
  get_filename_component(name ${source} NAME_WE)
  execute_process(COMMAND ${CXX} ${flags} -c ${source} -o ${OUT}/${name}.obj
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc EQUAL 0)
    message(STATUS "OpenMP 2.0: ${name}.cpp compiles")
  else()
    message("${out}")
    list(APPEND failed "${name}.cpp")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "OpenMP 2.0 compile check failed: ${failed}")
endif()
