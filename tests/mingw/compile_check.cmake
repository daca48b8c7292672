# Windows compile check (cmake -P): the gateway, the engine and the vector
# kernel (every src/recon_simd*.cpp) compiled for 64-bit Windows with
# MinGW-w64 against Octave's MEX header and Highway's headers. Compile only.
# Two passes: with MinGW's own OpenMP, and as MSVC's /openmp sees the code
# (OpenMP 2.0: _OPENMP = 200203 and tests/mingw/openmp2/omp.h, which
# declares nothing later), so an unguarded newer OpenMP call fails.
#
#   -DCXX=<x86_64-w64-mingw32-g++> -DSRC=<src> -DOCTAVE_INCLUDES=<dirs>
#   -DHWY_INCLUDE=<dir holding hwy/> -DOUT=<work dir> -DOMP2=<openmp2 dir>
file(GLOB simd_sources ${SRC}/recon_simd*.cpp)
set(sources ${SRC}/tofimage.cpp ${SRC}/tofimage_frames.cpp ${SRC}/recon.cpp ${simd_sources})

# Only hwy/ of the host's include folder: the cross compiler must not see the
# host's C library headers next to it.
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/include)
file(CREATE_LINK ${HWY_INCLUDE}/hwy ${OUT}/include/hwy SYMBOLIC COPY_ON_ERROR)

set(flags -std=c++17 -O2 -fopenmp -fno-fast-math -ffp-contract=off -fno-math-errno
          -Wall -Wextra -DTOFIMAGE_HAVE_HWY -I${SRC})
foreach(dir IN LISTS OCTAVE_INCLUDES)
  list(APPEND flags -I${dir})
endforeach()
list(APPEND flags -isystem ${OUT}/include)

set(failed "")
foreach(pass mingw openmp2)
  set(pass_flags ${flags})
  if(pass STREQUAL "openmp2")
    list(PREPEND pass_flags -U_OPENMP -D_OPENMP=200203 -I${OMP2})
  endif()
  foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME_WE)
    execute_process(COMMAND ${CXX} ${pass_flags} -c ${source} -o ${OUT}/${name}.${pass}.obj
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(rc EQUAL 0)
      message(STATUS "${pass}: ${name}.cpp compiles")
    else()
      message("${out}")
      list(APPEND failed "${pass}: ${name}.cpp")
    endif()
  endforeach()
endforeach()
if(failed)
  message(FATAL_ERROR "MinGW-w64 compile check failed: ${failed}")
endif()
