# End-to-end tests of the demo (matlab/demo_tofimage.m, matlab/simulate_scan.m):
# tests/octave/demo_*.m, each run by CTest inside octave-cli with the Octave
# MEX modules (tofimage, and tofimage_frames for the cine loop) and matlab/
# on the path. `make demo` runs the demo itself.
if(TOFIMAGE_BUILD_TESTS AND TARGET tofimage_octave AND TARGET tofimage_frames_octave
   AND TOFIMAGE_OCTAVE_CLI)
  tofimage_add_octave_tests("demo_*.m" 300 ${PROJECT_SOURCE_DIR}/matlab)
endif()
