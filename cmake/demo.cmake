# End-to-end tests of the demo (matlab/demo_tofimage.m, matlab/simulate_scan.m):
# tests/octave/demo_*.m, each run by CTest inside octave-cli with the Octave
# MEX module and matlab/ on the path. `make demo` runs the demo itself.
if(TOFIMAGE_BUILD_TESTS AND TARGET tofimage_octave)
  find_program(TOFIMAGE_OCTAVE_CLI NAMES octave-cli octave)
endif()

if(TOFIMAGE_BUILD_TESTS AND TARGET tofimage_octave AND TOFIMAGE_OCTAVE_CLI)
  file(GLOB TOFIMAGE_DEMO_TESTS CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tests/octave/demo_*.m)
  foreach(test_file IN LISTS TOFIMAGE_DEMO_TESTS)
    get_filename_component(test_name ${test_file} NAME_WE)
    # An uncaught error makes octave-cli exit with status 1, failing the test.
    add_test(NAME octave_${test_name}
      COMMAND ${TOFIMAGE_OCTAVE_CLI} --no-gui -q -H --no-site-file
        --path $<TARGET_FILE_DIR:tofimage_octave>
        --path ${PROJECT_SOURCE_DIR}/matlab
        --path ${PROJECT_SOURCE_DIR}/tests/octave
        --eval ${test_name}
      WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
    set_tests_properties(octave_${test_name} PROPERTIES TIMEOUT 300)
  endforeach()
endif()
