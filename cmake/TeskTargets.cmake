# Shared settings for every target of the project.

add_library(tesk_warnings INTERFACE)
target_compile_options(tesk_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough
  $<$<BOOL:${TESK_WARNINGS_AS_ERRORS}>:-Werror>)
# COM interfaces are abstract classes without destructors by design: their
# objects are released through the vtable, never deleted through the base.
target_compile_options(tesk_warnings INTERFACE -Wno-non-virtual-dtor)

# A shared library that keeps its exports explicit (TESK_EXPORT) and finds its
# sibling modules next to itself, in the build tree as after installation.
function(tesk_add_library name)
  cmake_parse_arguments(ARG "MODULE" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "$ORIGIN"
    BUILD_RPATH "$ORIGIN")
  target_link_libraries(${name} PRIVATE tesk_warnings ${ARG_LIBS})
  target_link_options(${name} PRIVATE -Wl,--no-undefined)
endfunction()

# One GoogleTest program per component, discovered by CTest.
function(tesk_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE tesk_warnings ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  set_target_properties(${name} PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
