# The second process of the core's lock tests: holds a driver's or a device's busy word.
add_executable(core_lock_holder ${CMAKE_CURRENT_LIST_DIR}/lock_holder.cpp)
target_link_libraries(core_lock_holder PRIVATE tesksync teskwin32 tesk_warnings)
set_target_properties(core_lock_holder PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
add_dependencies(core_tests core_lock_holder)
