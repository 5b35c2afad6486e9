# Cross build of the Windows x64 DLLs with MinGW-w64 (Debian package
# g++-mingw-w64-x86-64). The win32 thread model is preferred: with it the
# statically linked C++ runtime needs no winpthread DLL, so a built DLL
# imports nothing but Windows system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
find_program(_mingw_cxx NAMES ${_mingw}-g++-win32 ${_mingw}-g++ REQUIRED)
find_program(_mingw_cc NAMES ${_mingw}-gcc-win32 ${_mingw}-gcc)
find_program(_mingw_rc NAMES ${_mingw}-windres)
set(CMAKE_CXX_COMPILER ${_mingw_cxx})
if(_mingw_cc)
  set(CMAKE_C_COMPILER ${_mingw_cc})
endif()
if(_mingw_rc)
  set(CMAKE_RC_COMPILER ${_mingw_rc})
endif()

# Look for headers and libraries of the target only in the cross sysroot,
# for programs only on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under wine, not on the build machine.
find_program(_wine NAMES wine64 wine)
if(_wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine})
endif()
