# Cross build for 64-bit Windows with clang, against mingw-w64 GCC's libstdc++ (posix thread
# model), linked statically by lld: the second compiler, for its warnings and -Wthread-safety.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${KV_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${KV_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${KV_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang 14 does not find GCC's folder when its version is named "12-posix": ask GCC for it.
execute_process(COMMAND ${KV_MINGW_TRIPLE}-g++-posix -print-libgcc-file-name
  OUTPUT_VARIABLE KV_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(KV_MINGW_GCC_DIR ${KV_MINGW_LIBGCC} DIRECTORY)
set(KV_MINGW_CXX_INCLUDE ${KV_MINGW_GCC_DIR}/include/c++)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${KV_MINGW_CXX_INCLUDE}
  ${KV_MINGW_CXX_INCLUDE}/${KV_MINGW_TRIPLE} ${KV_MINGW_CXX_INCLUDE}/backward)
# GCC's libstdc++ keeps its thread_local variables (std::call_once's) in emulated TLS.
set(CMAKE_C_FLAGS_INIT -femulated-tls)
set(CMAKE_CXX_FLAGS_INIT -femulated-tls)
# -pthread links winpthreads, which GCC's posix driver adds by itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -pthread -fuse-ld=lld -L${KV_MINGW_GCC_DIR}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-emulator.sh)
