# The second process of the named-object tests.
add_executable(named_helper ${CMAKE_CURRENT_LIST_DIR}/named_helper.cpp)
target_link_libraries(named_helper PRIVATE teskwin32 tesk_warnings)
set_target_properties(named_helper PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
add_dependencies(win32_tests named_helper)
