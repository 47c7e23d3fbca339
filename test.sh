#!/usr/bin/env bash
# Builds xmlstamp with its tests and runs every one of them: the Linux build,
# then the Windows build under Wine and the arm64 build under qemu, each when
# its cross compiler and emulator are here.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

# Runs the tests of a build folder; a build without tests fails. A test that
# could not run here is reported as skipped, and its reasons are shown after.
run_tests() {
    local status=0
    ctest --test-dir "$1" --output-on-failure --no-tests=error -j"$jobs" || status=$?
    grep -h '^Skipped: ' "$1/Testing/Temporary/LastTest.log" || true
    return "$status"
}

echo "== Linux build"
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
cmake --build build/linux -j"$jobs"
run_tests build/linux

wineserver=/usr/lib/wine/wineserver
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null || [ ! -x "$wineserver" ]; then
    echo "== Windows build SKIPPED: needs g++-mingw-w64-x86-64-posix and wine (apt-get install -y g++-mingw-w64-x86-64-posix wine)"
    [ -z "${XMLSTAMP_REQUIRE_WINDOWS:-}" ] || exit 1
else
    echo "== Windows build, tested under Wine"
    cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
    cmake --build build/windows -j"$jobs"
    # One Wine server, with Wine's own services, for the whole run: a server
    # started by a test would inherit that test's resource limits, and services
    # started with it would hold the test's output open until they time out.
    export WINEPREFIX=$PWD/build/windows/wineprefix
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w
    mkdir -p "$WINEPREFIX"
    "$wineserver" -p
    trap '"$wineserver" -k || true' EXIT
    echo "starting Wine (the first run in a new build creates its prefix, about 10 s)"
    build/windows/wine-run wineboot --init >/dev/null 2>&1 </dev/null
    run_tests build/windows
fi

if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64-static >/dev/null; then
    echo "== arm64 build SKIPPED: needs g++-aarch64-linux-gnu and qemu-user-static (apt-get install -y g++-aarch64-linux-gnu qemu-user-static)"
    [ -z "${XMLSTAMP_REQUIRE_ARM64:-}" ] || exit 1
    exit 0
fi

# strace and FUSE would see qemu rather than the tool: the tests that need
# them are the Linux build's alone.
echo "== arm64 build, tested under qemu"
cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
cmake --build build/arm64 -j"$jobs"
run_tests build/arm64
