# Cross-build for 32-bit x86 Windows with mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
# The shipped binaries use the win32 thread model, whose runtime imports
# nothing that Windows XP lacks; GoogleTest needs the posix one, so the Wine
# tier is built apart with MINGW_THREADS=posix.
if(NOT MINGW_THREADS)
  set(MINGW_THREADS win32)
endif()
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-${MINGW_THREADS})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${MINGW_THREADS})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_THREADS)
