# The portable byte-layout code built natively with sanitizers and its tests. The fuzzers need
# clang and are built by scripts/fuzz.sh.
set(SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
add_library(kv_portable STATIC ${PORTABLE_SOURCES})
target_include_directories(kv_portable PUBLIC ${APP})
target_compile_options(kv_portable PUBLIC ${SANITIZE} -Wall -Wextra)
target_link_options(kv_portable PUBLIC ${SANITIZE})

find_package(GTest REQUIRED)
include(GoogleTest)
add_executable(kv_native_tests
  tests/native/frame_test.cpp
)
target_include_directories(kv_native_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(kv_native_tests PRIVATE kv_portable GTest::gtest_main)
gtest_discover_tests(kv_native_tests)
