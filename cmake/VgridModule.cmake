# SPDX-License-Identifier: GPL-3.0-or-later
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
      gtest_discover_tests(${test_name} DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "VGRID_BINARY=${CMAKE_BINARY_DIR}/app/vgrid;VGRID_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
    endforeach()
  endif()
endfunction()
