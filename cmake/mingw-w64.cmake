# What both MinGW-w64 toolchain files share (the -posix flavour, for std::thread): the
# including file sets CMAKE_SYSTEM_PROCESSOR (x86_64 or i686) first.
set(CMAKE_SYSTEM_NAME Windows)
set(_halvane_triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${_halvane_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_halvane_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_halvane_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_halvane_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Windows test programs run under Wine in a throwaway prefix inside the build tree; the
# runner starts each program with the Wine loader that matches it (32-bit or 64-bit).
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
