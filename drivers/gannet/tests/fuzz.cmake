# The playing-time reader under arbitrary input: the fuzz target runs over its corpus (every
# input also cut short and with bytes changed) in every test pass. With clang's libFuzzer,
# the same target is built for open-ended fuzzing by the gannet_tag_libfuzzer target:
#   ninja gannet_tag_libfuzzer && bin/gannet_tag_libfuzzer <corpus copy>
set(GANNET_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/fuzz)
add_executable(gannet_tag_fuzz ${GANNET_FUZZ_DIR}/tag_fuzz.cpp ${GANNET_FUZZ_DIR}/corpus_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../tag.cpp)
target_include_directories(gannet_tag_fuzz PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(gannet_tag_fuzz PRIVATE tesk_warnings teskwin32 tesk_contract)
set_target_properties(gannet_tag_fuzz PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
add_test(NAME gannet_tag_fuzz_corpus COMMAND gannet_tag_fuzz ${GANNET_FUZZ_DIR}/corpus)
set_tests_properties(gannet_tag_fuzz_corpus PROPERTIES TIMEOUT 120)

find_program(GANNET_CLANGXX clang++)
if(GANNET_CLANGXX)
  add_custom_target(gannet_tag_libfuzzer
    COMMAND ${GANNET_CLANGXX} -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined
      -I${CMAKE_CURRENT_LIST_DIR}/.. -I${PROJECT_SOURCE_DIR}/drivers/contract/include
      -I${PROJECT_SOURCE_DIR}/platform/win32/include
      ${GANNET_FUZZ_DIR}/tag_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/../tag.cpp
      -L$<TARGET_FILE_DIR:teskwin32> -lteskwin32 -Wl,-rpath,$<TARGET_FILE_DIR:teskwin32>
      -o ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/gannet_tag_libfuzzer
    DEPENDS teskwin32
    COMMENT "Building the libFuzzer build of the tag reader"
    VERBATIM)
endif()
