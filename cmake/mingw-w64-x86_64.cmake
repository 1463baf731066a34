# Cross-compiling for Windows x64 with Debian's mingw-w64 (POSIX thread model, for std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VK_MINGW_TRIPLE}-windres)
# The cross-built dependencies (libzip, GoogleTest) live in VK_WIN_DEPS; the rest is mingw's own.
set(CMAKE_FIND_ROOT_PATH /usr/${VK_MINGW_TRIPLE} ${VK_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64) # Debian's wine64, no wrapper
