# The plug-in driver the core's tests register, configured per class in the registry.
tesk_add_library(tesk_test_driver SOURCES ${CMAKE_CURRENT_LIST_DIR}/testdriver/test_driver.cpp
  LIBS teskwin32 tesk_contract)
add_dependencies(core_tests tesk_test_driver)
