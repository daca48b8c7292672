# The modules, the engine's sources and its floating-point flags, as
# src/engine.txt lists them for every build (meson.build and
# matlab/build_tofimage.m read it too). Sets TOFIMAGE_ENGINE_<kind> for each
# kind of entry there: module, ctrl_c, engine and vector (sources as full
# paths), fp, fp_msvc and user (M-files, relative to matlab/). Included by CMakeLists.txt and by the MinGW
# builds in tests/mingw/ (also in script mode).
get_filename_component(_engine_src ${CMAKE_CURRENT_LIST_DIR}/../src ABSOLUTE)
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_engine_src}/engine.txt)
endif()
foreach(kind module ctrl_c engine vector fp fp_msvc user)
  set(TOFIMAGE_ENGINE_${kind} "")
endforeach()
file(STRINGS ${_engine_src}/engine.txt _engine_entries REGEX "^[a-z_]+[ \t]")
foreach(entry IN LISTS _engine_entries)
  string(REGEX MATCH "^([a-z_]+)[ \t]+([^ \t]+)" _ "${entry}")
  list(APPEND TOFIMAGE_ENGINE_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
list(TRANSFORM TOFIMAGE_ENGINE_engine PREPEND ${_engine_src}/)
list(TRANSFORM TOFIMAGE_ENGINE_vector PREPEND ${_engine_src}/)
