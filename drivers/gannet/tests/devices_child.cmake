# An application listing the players through the device manager, for the end-to-end test.
add_executable(gannet_devices_child ${CMAKE_CURRENT_LIST_DIR}/gannet_devices_child.cpp)
target_link_libraries(gannet_devices_child PRIVATE teskuser tesk_warnings)
set_target_properties(gannet_devices_child PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
add_dependencies(gannet_tests gannet_devices_child teskcore teskroot)
