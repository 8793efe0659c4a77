#!/usr/bin/env bash
# Builds the tool and runs every test: the native suite always, and the Windows
# build under Wine when MinGW-w64 and Wine are installed (it says so when not).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

windows_exe=
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
  cmake --build build-windows -j "$jobs"
  windows_exe=$PWD/build-windows/link-installer.exe

  # A prefix of the tests' own, and one persistent server with Wine's own
  # services, all started here: a service first started inside ctest would
  # inherit its pipes and keep it waiting for ever.
  export WINEDEBUG=-all WINEPREFIX=$PWD/build-windows/wineprefix
  [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
  wineserver -w  # a server left by wineboot or an earlier run must end first
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

  echo "== Windows unit tests under Wine"
  ctest --test-dir build-windows --output-on-failure
  (cd build-windows && cpack >/dev/null && echo "== Windows package: $(ls "$PWD"/*.zip)")
else
  echo "SKIPPED: the Windows build and its tests (install g++-mingw-w64-x86-64-posix and wine)"
fi

cmake -S . -B build -DLINK_INSTALLER_WINDOWS_EXE="$windows_exe"
cmake --build build -j "$jobs"
echo "== Native tests${windows_exe:+, and the end-to-end suite against the Windows tool}"
ctest --test-dir build --output-on-failure
