#!/usr/bin/env bash
# Builds the tool and runs every test:
#   static analysis of src/ (clang-tidy, cppcheck);
#   the Windows build under Wine, when MinGW-w64 and Wine are installed;
#   the native suite under AddressSanitizer and UBSan;
#   valgrind memcheck over whole runs of the tool;
#   the native suite of the release build, with the end-to-end suite run
#   against the Windows tool as well.
# Whatever it cannot run here, it names in a SKIPPED line.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

if command -v clang-tidy >/dev/null && command -v cppcheck >/dev/null; then
  echo "== Static analysis"
  scripts/check-static.sh
else
  echo "SKIPPED: static analysis (install clang-tidy and cppcheck)"
fi

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
  # A server left by wineboot or an earlier run, persistent or not, must end first.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

  echo "== Windows unit tests under Wine"
  ctest --test-dir build-windows --output-on-failure
  (cd build-windows && cpack >/dev/null && echo "== Windows package: $(ls "$PWD"/*.zip)")
else
  echo "SKIPPED: the Windows build and its tests (install g++-mingw-w64-x86-64-posix and wine)"
fi

echo "== Native tests under AddressSanitizer and UBSan"
cmake -S . -B build-sanitize -DLINK_INSTALLER_SANITIZE=ON -DLINK_INSTALLER_STATIC=OFF
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure

if command -v valgrind >/dev/null; then
  echo "== Memcheck over whole runs"
  cmake -S . -B build-memcheck -DLINK_INSTALLER_STATIC=OFF
  cmake --build build-memcheck -j "$jobs" --target link-installer
  tests/memcheck.sh build-memcheck/link-installer
else
  echo "SKIPPED: memcheck (install valgrind)"
fi

cmake -S . -B build -DLINK_INSTALLER_WINDOWS_EXE="$windows_exe"
cmake --build build -j "$jobs"
echo "== Native tests${windows_exe:+, and the end-to-end suite against the Windows tool}"
ctest --test-dir build --output-on-failure
