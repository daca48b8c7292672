# Tests of the Python package (python/tofimage, built by meson-python from
# meson.build, not by CMake). CTest installs the package the way the README
# tells offline users to, into a virtual environment in the build tree that
# sees the system's packages, then runs tests/python with pytest there. The
# MEX module of this tree is the reference the package is compared with.
#
# TOFIMAGE_PYTHON is the interpreter with NumPy, pytest, Dask and
# meson-python: Debian's /usr/bin/python3 where it exists.
if(NOT TOFIMAGE_BUILD_TESTS OR TOFIMAGE_SANITIZE OR TOFIMAGE_FUZZ)
  return()  # the package has its own build, without the sanitizers
endif()
if(EXISTS /usr/bin/python3)
  set(_tofimage_python_default /usr/bin/python3)
else()
  find_program(_tofimage_python_default NAMES python3 python)
endif()
set(TOFIMAGE_PYTHON "${_tofimage_python_default}" CACHE FILEPATH
  "Python interpreter for the tests of the Python package")

execute_process(
  COMMAND ${TOFIMAGE_PYTHON} -c "import mesonpy, numpy, pytest, dask.array, distributed"
  RESULT_VARIABLE _tofimage_python_rc OUTPUT_QUIET ERROR_QUIET)
if(NOT _tofimage_python_rc EQUAL 0)
  message(WARNING "tofimage: ${TOFIMAGE_PYTHON} lacks meson-python, NumPy, pytest or Dask; "
    "no tests of the Python package (make deps installs them)")
  return()
endif()
message(STATUS "tofimage: testing the Python package with ${TOFIMAGE_PYTHON}")

set(_venv ${PROJECT_BINARY_DIR}/python-venv)
if(WIN32)
  set(_venv_python ${_venv}/Scripts/python.exe)
else()
  set(_venv_python ${_venv}/bin/python)
endif()
add_test(NAME python_venv COMMAND ${TOFIMAGE_PYTHON} -m venv --system-site-packages ${_venv})
# A fresh build each time: meson-python 0.12 cannot be handed a build folder
# that does not exist yet once it has left its native file in the sources.
add_test(NAME python_install
  COMMAND ${_venv_python} -m pip install --no-build-isolation --no-index --no-deps
    --force-reinstall --disable-pip-version-check ${PROJECT_SOURCE_DIR})
add_test(NAME python_pytest
  COMMAND ${_venv_python} -m pytest -q -p no:cacheprovider ${PROJECT_SOURCE_DIR}/tests/python)
set_tests_properties(python_venv PROPERTIES FIXTURES_SETUP tofimage_python_venv)
set_tests_properties(python_install PROPERTIES TIMEOUT 1200
  FIXTURES_REQUIRED tofimage_python_venv FIXTURES_SETUP tofimage_python_package)
set_tests_properties(python_pytest PROPERTIES TIMEOUT 600
  FIXTURES_REQUIRED tofimage_python_package WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
if(TARGET tofimage_octave AND TOFIMAGE_OCTAVE_CLI)
  set_tests_properties(python_pytest PROPERTIES ENVIRONMENT
    "TOFIMAGE_MEX_DIR=$<TARGET_FILE_DIR:tofimage_octave>;TOFIMAGE_OCTAVE=${TOFIMAGE_OCTAVE_CLI}")
endif()
