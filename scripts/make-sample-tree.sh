#!/usr/bin/env bash
# Lays out a toolchain tree at $1 with every program the tool links from,
# and the directories of the names it makes.
set -euo pipefail
tree=$1
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
