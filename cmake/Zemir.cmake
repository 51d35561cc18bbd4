# Helpers shared by the folders' CMakeLists.

# zemir_test(NAME SOURCES... LIBS lib...): one GoogleTest executable registered with CTest.
# Each test case becomes its own CTest entry so failures name the case.
function(zemir_test name)
  cmake_parse_arguments(ZT "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ZEMIR_TESTS)
    return()
  endif()
  add_executable(${name} ${ZT_SOURCES} ${ZT_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ZT_LIBS} zemir_testsupport GTest::gtest GTest::gtest_main pthread)
  include(GoogleTest)
  set(props ENVIRONMENT "ZEMIR_BUILD_BIN=${CMAKE_BINARY_DIR}/bin")
  if(ZT_LABELS)
    list(APPEND props LABELS "${ZT_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
