# SPDX-License-Identifier: GPL-3.0-or-later
# vgrid_test(TARGET): registers the GoogleTest executable TARGET's tests with CTest, each run
# with the built vgrid named in VGRID_BINARY. (The discovery script splits an ENVIRONMENT
# value at every semicolon, escaped or not, and keeps only the first variable: it is given
# one. Sanitizer runs take LSAN_OPTIONS from the environment, as scripts/test.sh sets it.)
function(vgrid_test target)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "VGRID_BINARY=$<TARGET_FILE:vgrid>")
endfunction()

# vgrid_module(NAME DEPS...): a static library of every .cc in the current folder except
# tests, main.cc and the sources of the folder's loadable modules, and one GoogleTest
# executable per *_test.cc, registered with CTest.
function(vgrid_module name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  list(FILTER sources EXCLUDE REGEX "(_test|/main)\\.cc$")
  get_property(loadable_sources DIRECTORY PROPERTY VGRID_LOADABLE_SOURCES)
  if(loadable_sources)
    list(REMOVE_ITEM sources ${loadable_sources})
  endif()
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

# vgrid_loadable(NAME SOURCES files... [SHARED_SOURCES files...] LIBRARIES libs...): the
# program's module NAME.so (platform/modules.h), built from SOURCES, which the folder's
# vgrid_module library leaves out, and SHARED_SOURCES, which it keeps too; linked against
# LIBRARIES, so that dpkg-shlibdeps finds them. Call it before vgrid_module. Only its entry
# points are exported. It is built into the build tree's module folder, installed into the
# private library folder, and built before every program (vgrid_platform depends on it).
function(vgrid_loadable name)
  cmake_parse_arguments(arg "" "" "SOURCES;SHARED_SOURCES;LIBRARIES" ${ARGN})
  add_library(${name} MODULE ${arg_SOURCES} ${arg_SHARED_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY
    ${VGRID_BUILD_MODULE_DIR} CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE ${arg_LIBRARIES})
  # Every shared object of the package names the C library, even one that calls it only
  # through its other libraries (as the text module does), which the linker would drop.
  target_link_options(${name} PRIVATE "LINKER:--push-state,--no-as-needed,-lc,--pop-state")
  # Every symbol the module needs comes from its libraries, none from the program. (Clang's
  # sanitizers leave their runtime to the program that loads the module, so there the check
  # cannot be made.)
  if(NOT (VGRID_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang"))
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  install(TARGETS ${name} LIBRARY DESTINATION ${VGRID_MODULE_INSTALL_DIR})
  add_dependencies(vgrid_modules ${name})
  list(TRANSFORM arg_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  set_property(DIRECTORY APPEND PROPERTY VGRID_LOADABLE_SOURCES ${arg_SOURCES})
endfunction()
