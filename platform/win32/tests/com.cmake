# Modules and helper programs that the module and COM tests load or start.
set(WIN32_TESTMODULES_DIR ${CMAKE_CURRENT_SOURCE_DIR}/testmodules)

tesk_add_library(win32_testserver SOURCES ${WIN32_TESTMODULES_DIR}/testserver.cpp LIBS teskwin32)
tesk_add_library(win32_testnofactory SOURCES ${WIN32_TESTMODULES_DIR}/nofactory.cpp LIBS teskwin32)

add_executable(win32_module_child ${WIN32_TESTMODULES_DIR}/module_child.cpp)
target_link_libraries(win32_module_child PRIVATE tesk_warnings teskwin32)
set_target_properties(win32_module_child PROPERTIES BUILD_RPATH "$ORIGIN/../lib")

add_executable(win32_linked_child ${WIN32_TESTMODULES_DIR}/linked_child.cpp)
target_link_libraries(win32_linked_child PRIVATE tesk_warnings teskwin32 win32_testserver)
set_target_properties(win32_linked_child PROPERTIES BUILD_RPATH "$ORIGIN/../lib")

target_include_directories(win32_tests PRIVATE ${WIN32_TESTMODULES_DIR})
add_dependencies(win32_tests win32_testserver win32_testnofactory win32_module_child win32_linked_child)
