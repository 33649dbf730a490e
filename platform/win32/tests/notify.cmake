# The other processes of the device notification tests: one announces interface changes,
# one receives them (or dies with its registration in place).
foreach(helper notify_broadcast notify_receiver)
  add_executable(${helper} ${CMAKE_CURRENT_LIST_DIR}/${helper}.cpp)
  target_link_libraries(${helper} PRIVATE teskwin32 tesk_warnings)
  target_include_directories(${helper} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../src)
  set_target_properties(${helper} PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
  add_dependencies(win32_tests ${helper})
endforeach()
