# The portable byte-layout code built natively with sanitizers and its tests. The fuzzers need
# clang and are built by scripts/fuzz.sh.
set(SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
add_library(kv_portable STATIC ${PORTABLE_SOURCES})
target_include_directories(kv_portable PUBLIC ${APP})
option(KV_WERROR "Treat warnings as errors" OFF)
target_compile_options(kv_portable PUBLIC ${SANITIZE} -Wall -Wextra $<$<BOOL:${KV_WERROR}>:-Werror>)
target_link_options(kv_portable PUBLIC ${SANITIZE})

find_package(GTest REQUIRED)
include(GoogleTest)
add_executable(kv_native_tests
  tests/native/frame_test.cpp
  tests/native/device_rules_test.cpp
)
target_include_directories(kv_native_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(kv_native_tests PRIVATE kv_portable GTest::gtest_main)
gtest_discover_tests(kv_native_tests)
# The Group Policy template against the program's registry reads.
add_test(NAME Policy_template_test.WellFormedAndReadByTheProgram
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/installer/admx_test.py ${CMAKE_SOURCE_DIR})

# The fuzz target, with clang (the fuzz preset); scripts/fuzz.sh builds and runs it on its own.
option(KV_FUZZ "Build the fuzz target (clang)" OFF)
if(KV_FUZZ)
  set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  add_executable(fuzz_portable fuzz/fuzz_portable.cpp ${PORTABLE_SOURCES})
  target_include_directories(fuzz_portable PRIVATE ${APP})
  target_compile_options(fuzz_portable PRIVATE ${FUZZ_FLAGS} -Wall -Wextra)
  target_link_options(fuzz_portable PRIVATE ${FUZZ_FLAGS})
endif()
