# Read by ctest before any test is defined: every test requires the
# system-paths fixture, so that its closing listing is taken after the last.
function(add_test name)
  _add_test(${name} ${ARGN})
  if(NOT name MATCHES "^system_paths\\.")
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED fu_system_paths)
  endif()
endfunction()
