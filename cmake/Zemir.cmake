# Helpers shared by the folders' CMakeLists.

# zemir_test(NAME SOURCES... LIBS lib... [LABELS l...]): one GoogleTest executable registered
# with CTest. Each test case becomes its own CTest entry so failures name the case.
function(zemir_test name)
  cmake_parse_arguments(ZT "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ZEMIR_TESTS)
    return()
  endif()
  add_executable(${name} ${ZT_SOURCES} ${ZT_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ZT_LIBS} zemir_testsupport GTest::gtest GTest::gtest_main pthread)
  include(GoogleTest)
  # Only the build folder travels in the environment (a second ENVIRONMENT entry would be
  # split by the list handling of the discovered tests); the source folder is compiled into
  # zemir_testsupport, which puts it in ZEMIR_SOURCE_DIR at start-up.
  set(props ENVIRONMENT "ZEMIR_BUILD_BIN=${CMAKE_BINARY_DIR}/bin")
  if(ZT_LABELS)
    list(APPEND props LABELS "${ZT_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# Adds every direct subfolder of the current folder that has a CMakeLists.txt, in name order,
# so that separate areas (platform/rpc, tools/ldiftool, ...) keep separate build files.
function(zemir_add_subfolders)
  file(GLOB lists RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  list(SORT lists)
  foreach(l ${lists})
    get_filename_component(d ${l} DIRECTORY)
    if(NOT d STREQUAL "tests")
      add_subdirectory(${d})
    endif()
  endforeach()
endfunction()
