# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the POSIX-threads variant, which
# std::thread and Qt need). Used for Qt itself and for Karvello: see scripts/package-windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KARVELLO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KARVELLO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KARVELLO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KARVELLO_MINGW_TRIPLET}-windres)

# Look for libraries and headers in the MinGW sysroot and the cross Qt, programs on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KARVELLO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
