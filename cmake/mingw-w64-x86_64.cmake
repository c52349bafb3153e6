# Cross-building for 64-bit Windows with Debian's MinGW-w64 (POSIX threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(STB_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${STB_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STB_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${STB_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${STB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime (libgcc, libstdc++, winpthread) goes inside each .exe: nothing
# but system DLLs to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
