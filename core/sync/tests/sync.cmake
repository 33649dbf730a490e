# The other process of the multi-process sync tests.
add_executable(sync_child ${CMAKE_CURRENT_LIST_DIR}/sync_child.cpp)
target_link_libraries(sync_child PRIVATE tesksync tesk_warnings)
target_include_directories(sync_child PRIVATE ${CMAKE_CURRENT_LIST_DIR})
set_target_properties(sync_child PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
add_dependencies(sync_tests sync_child)
