# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix,
# binutils-mingw-w64-x86-64). The posix thread model gives std::thread and std::mutex.
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELMORA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELMORA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMORA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELMORA_MINGW_PREFIX}-windres)
set(CMAKE_AR ${VELMORA_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VELMORA_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program runs on its own: the C++ runtime, libgcc and winpthread linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test executables (and gtest discovery, were it used) run under Wine on the build machine.
find_program(VELMORA_WINE NAMES wine wine64)
if(VELMORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_WINE})
endif()
