# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 tool chain
# (g++-mingw-w64-x86-64-posix: the POSIX thread model, which std::thread and
# std::mutex need). Programs are linked with static libstdc++ and libgcc so
# they run under Wine or on Windows without the tool chain's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVALINK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVALINK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVALINK_MINGW_TRIPLE}-g++-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVALINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Cross-compiled test programs run under Wine.
find_program(CORVALINK_WINE wine64 wine)
if(CORVALINK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVALINK_WINE})
endif()
