# SPDX-License-Identifier: GPL-3.0-or-later
# vgrid_test(TARGET): registers the GoogleTest executable TARGET's tests with CTest, each run
# with what the tests expect to find: the built vgrid (VGRID_BINARY), the source tree
# (VGRID_SOURCE_DIR) and, in sanitizer builds, the suppressions of leaks in system libraries.
function(vgrid_test target)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "VGRID_BINARY=$<TARGET_FILE:vgrid>;VGRID_SOURCE_DIR=${CMAKE_SOURCE_DIR};LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/scripts/lsan_system.supp")
endfunction()

# vgrid_module(NAME DEPS...): a static library of every .cc in the current folder except
# tests (and main.cc), and one GoogleTest executable per *_test.cc, registered with CTest.
function(vgrid_module name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  list(FILTER sources EXCLUDE REGEX "(_test|/main)\\.cc$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
  if(VGRID_BUILD_TESTS)
    foreach(test_source IN LISTS tests)
      get_filename_component(test_name ${test_source} NAME_WE)
      add_executable(${test_name} ${test_source})
      target_link_libraries(${test_name} PRIVATE ${name} vgrid_testutil GTest::gtest GTest::gtest_main)
      vgrid_test(${test_name})
    endforeach()
  endif()
endfunction()
