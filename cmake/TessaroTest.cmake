# tessaro_add_test(name LIBS...) builds tests/<name>.cpp into one GoogleTest binary registered with CTest.
function(tessaro_add_test name)
  add_executable(${name} ${name}.cpp)
  target_link_libraries(${name} PRIVATE tessaro_test_support ${ARGN} GTest::gtest GTest::gtest_main tessaro_options)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "ASAN_OPTIONS=halt_on_error=1:detect_leaks=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
endfunction()
