# Cross build for 64-bit Windows with the mingw-w64 toolchain of Debian/Ubuntu
# (packages g++-mingw-w64-x86-64 and libz-mingw-w64-dev):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# Everything is linked statically (C++ runtime, threads, zlib), so volpack.exe
# needs no DLL beside it. GoogleTest is built from its sources for this target,
# and the tests run under Wine through CMake's cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VOLPACK_MINGW_PREFIX x86_64-w64-mingw32)
# The "-posix" compilers use the winpthreads thread model, which std::mutex,
# std::once_flag and std::thread need with GCC 12 and older.
find_program(CMAKE_CXX_COMPILER NAMES ${VOLPACK_MINGW_PREFIX}-g++-posix ${VOLPACK_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${VOLPACK_MINGW_PREFIX}-gcc-posix ${VOLPACK_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VOLPACK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VOLPACK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A static C++ runtime and static threads for every executable (zlib is
# linked statically by CMakeLists.txt).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

if(NOT DEFINED VOLPACK_GTEST_FROM_SOURCE AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(VOLPACK_GTEST_FROM_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")
endif()

# Wine runs the test programs: Debian's wine64 package installs the loader as
# /usr/lib/wine/wine64 and a "wine" launcher on PATH.
find_program(VOLPACK_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine)
if(VOLPACK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all ${VOLPACK_WINE})
endif()
