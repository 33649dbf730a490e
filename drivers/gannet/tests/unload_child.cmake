# A process that unloads the driver while it still holds driver objects.
add_executable(gannet_unload_child ${CMAKE_CURRENT_LIST_DIR}/gannet_unload_child.cpp)
target_link_libraries(gannet_unload_child PRIVATE teskwin32 tesk_contract tesk_warnings)
target_include_directories(gannet_unload_child PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
set_target_properties(gannet_unload_child PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
add_dependencies(gannet_tests gannet_unload_child)
if(TARGET hoxa_holder)
  add_dependencies(gannet_tests hoxa_holder)
endif()
