#!/usr/bin/env bash
# The Windows leg of CI: cross-builds tovalise.exe for 32-bit Windows, checks
# that it needs no DLL beyond the system's, and runs the unit tests (built
# with the cross compiler) and the end-to-end suite (the Linux test program
# starting the .exe) under wine. Installs the cross toolchain and wine when
# they are missing. Where the kernel runs no 32-bit programs, wine32 cannot
# start and the tests run against the 64-bit build of the same sources.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=$(command -v sudo || true)

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -x /usr/lib/wine/wine ] || need+=(wine wine32:i386)
command -v setpriv >/dev/null || need+=(util-linux)
if [ ${#need[@]} -gt 0 ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi

echo "=== Windows: 32-bit build"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build-win32 -j2

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    windows_build=build-win32
    loader=wine
else
    echo "=== this kernel runs no 32-bit programs, so wine32 cannot start:"
    echo "=== the tests run against the 64-bit build of the same sources"
    ctest --test-dir build-win32 -R imports --output-on-failure
    cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
    cmake --build build-win64 -j2
    windows_build=build-win64
    loader=/usr/lib/wine/wine64
fi

echo "=== Windows: unit tests under wine ($windows_build)"
ctest --test-dir "$windows_build" --output-on-failure

echo "=== Windows: end-to-end tests under wine ($windows_build)"
cmake -S . -B build -DTOVALISE_TESTS=ON -DTOVALISE_WINE_EXE="$PWD/$windows_build/tovalise.exe" \
    -DTOVALISE_WINE_LOADER="$loader" >/dev/null
cmake --build build -j2
ctest --test-dir build -L wine -j2 --output-on-failure
