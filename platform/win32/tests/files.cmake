# The second process of the file sharing tests, and the module whose string table the
# resource tests load.
add_executable(files_helper ${CMAKE_CURRENT_LIST_DIR}/files_helper.cpp)
target_link_libraries(files_helper PRIVATE teskwin32 tesk_warnings)
set_target_properties(files_helper PROPERTIES BUILD_RPATH "$ORIGIN/../lib")

tesk_add_library(win32_teststrings SOURCES ${CMAKE_CURRENT_LIST_DIR}/files_strings_module.cpp LIBS teskwin32)

add_dependencies(win32_tests files_helper win32_teststrings)
