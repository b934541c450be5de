# The same program for 64-bit Windows (package g++-mingw-w64-x86-64). It is
# what the tests run under wine where the kernel runs no 32-bit programs:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The POSIX thread model: GoogleTest needs std::mutex (the tool uses no threads).
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs run under wine's 64-bit loader.
find_program(TOVALISE_WINE wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(TOVALISE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOVALISE_WINE})
endif()
