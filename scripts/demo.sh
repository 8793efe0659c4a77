#!/usr/bin/env bash
# Builds the tool, lays out a sample toolchain tree, and runs the tool on it
# verbosely, so the trace and the second names it made can be seen.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

tree=$PWD/build/sample-tree
rm -rf "$tree"
programs="arm-uclinuxeabi/libc/thumb2/usr/lib/bin/gdbserver
arm-uclinuxeabi/libc/usr/lib/bin/gdbserver
arm-uclinuxeabi/libc/armv6-m/usr/lib/bin/gdbserver
arm-uclinuxeabi/bin/c++.exe arm-uclinuxeabi/bin/ar.exe arm-uclinuxeabi/bin/objdump.exe
arm-uclinuxeabi/bin/ld.real.exe arm-uclinuxeabi/bin/strip.exe arm-uclinuxeabi/bin/objcopy.exe
arm-uclinuxeabi/bin/ranlib.exe arm-uclinuxeabi/bin/nm.exe arm-uclinuxeabi/bin/as.exe
bin/arm-uclinuxeabi-c++.exe bin/arm-uclinuxeabi-gcc-4.4.1.exe"
for program in $programs; do
  mkdir -p "$tree/$(dirname "$program")"
  echo "sample $program" >"$tree/$program"
done
mkdir -p "$tree"/arm-uclinuxeabi/libc/{thumb2/,armv6-m/,}usr/bin

echo "\$ link-installer $tree -v"
status=0
build/link-installer "$tree" -v || status=$?
echo "exit status $status"
echo
echo "The names that now share a file (inode, link count, path):"
find "$tree" -type f -links +1 -printf '%i %n %P\n' | sort -n
