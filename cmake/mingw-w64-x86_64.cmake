# Cross-compiling kavelo.exe for 64-bit Windows with Debian's mingw-w64
# (g++-mingw-w64-x86-64-posix): scripts/build-windows.sh passes this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KAVELO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KAVELO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVELO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVELO_MINGW}-windres)
# Kept: a -DCMAKE_FIND_ROOT_PATH given on the command line (the static
# OpenSSL's prefix).
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KAVELO_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
