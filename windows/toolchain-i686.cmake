# Cross compilers for the Windows x86 builds, driver and tools (mingw-w64).
# The win32-threads compilers: their static runtime needs nothing that Windows
# 2000, XP and 2003 lack (the posix-threads one pulls in winpthreads, which
# imports GetTickCount64, a Vista function).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(ZR48_MINGW_TRIPLE i686-w64-mingw32)
