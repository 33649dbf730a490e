# The second process of the registry's multi-process tests.
add_executable(registry_helper ${CMAKE_CURRENT_LIST_DIR}/registry_helper.cpp)
target_link_libraries(registry_helper PRIVATE teskwin32 tesk_warnings)
set_target_properties(registry_helper PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
add_dependencies(win32_tests registry_helper)
