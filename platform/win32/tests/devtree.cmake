# The device tree's tests: a USB function backend module loaded by path (as the simulated
# player's is), and a second process that holds devices open or fills the tree.
set(DEVTREE_TEST_DIR ${CMAKE_CURRENT_LIST_DIR}/devtree)

tesk_add_library(devtree_testbackend SOURCES ${DEVTREE_TEST_DIR}/test_backend.cpp LIBS teskwin32)

add_executable(devtree_helper ${DEVTREE_TEST_DIR}/devtree_helper.cpp)
target_link_libraries(devtree_helper PRIVATE tesk_warnings teskwin32)
target_include_directories(devtree_helper PRIVATE ${DEVTREE_TEST_DIR})
set_target_properties(devtree_helper PROPERTIES BUILD_RPATH "$ORIGIN/../lib")

target_include_directories(win32_tests PRIVATE ${DEVTREE_TEST_DIR})
add_dependencies(win32_tests devtree_testbackend devtree_helper)
