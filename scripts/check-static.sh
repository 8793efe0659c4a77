#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over src/, both sides of the
# platform layer. Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# clang-tidy counts the warnings it hides in system headers on stderr; drop that noise.
tidy() { clang-tidy --quiet "$@" 2> >(grep -v 'warnings generated' >&2); }

tidy -p build src/main.cpp src/driver.cpp src/make_link.cpp src/posix/*.cpp

# The Windows side is checked against the MinGW-w64 headers.
mingw_cxx=$(echo /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++)
if [ -d "$mingw_cxx" ]; then
  tidy src/windows/*.cpp -- --target=x86_64-w64-mingw32 -std=c++20 -Isrc \
    -nostdlibinc -isystem "$mingw_cxx" -isystem "$mingw_cxx/x86_64-w64-mingw32" \
    -isystem /usr/x86_64-w64-mingw32/include
else
  echo "SKIPPED: clang-tidy of src/windows (no MinGW-w64 headers)"
fi

cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
  --quiet --std=c++20 -Isrc src/
echo "static analysis: clean"
