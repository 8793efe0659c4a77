#!/usr/bin/env bash
# Sets up what the tests need, builds the tool and runs every test:
#   static analysis of src/ (clang-tidy, cppcheck);
#   the 64- and 32-bit Windows builds, their unit tests under Wine, a check of
#   their manifest and version resource, and of their console output;
#   the release (scripts/release.sh), made twice and compared byte for byte;
#   the native suite under AddressSanitizer and UBSan;
#   valgrind memcheck over whole runs of the tool;
#   the native suite of the release build, with the end-to-end suite run
#   against both Windows tools as well.
# Run as root where apt-get is, it installs whatever is missing; elsewhere it
# prints the install command. Whatever it cannot run, it names in a SKIPPED line.
# On a kernel that runs no 32-bit programs (WSL 1, ia32_emulation=off), or with
# LINK_INSTALLER_NO_32BIT=1 set, the 32-bit tool is built and checked but not run.
set -eEuo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
trap 'echo "FAILED: scripts/test-all.sh line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR

# A setup step whose output is kept in a log, shown only when the step fails.
mkdir -p build-logs
setup_log=$PWD/build-logs/setup.log
quietly() {
  local step=$1 status=0
  shift
  "$@" >"$setup_log" 2>&1 </dev/null || status=$?
  [ $status = 0 ] && return
  echo "FAILED: $step (status $status): $*" >&2
  cat "$setup_log" >&2
  exit $status
}

# Runs a 96-byte i386 program that exits with 42: the kernel's own answer.
runs_32bit_programs() {
  [ -z "${LINK_INSTALLER_NO_32BIT:-}" ] || return 1
  local probe status=0
  probe=$(mktemp "$PWD/.i386-probe.XXXXXX")
  printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08' >"$probe"
  printf '\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0' >>"$probe"
  printf '\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0' >>"$probe"
  printf '\xb8\x01\0\0\0\xbb\x2a\0\0\0\xcd\x80' >>"$probe" # exit(42)
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ $status = 42 ]
}
runs_32bit=yes
runs_32bit_programs || runs_32bit=
no_32bit_why="this machine's kernel runs no 32-bit programs; they run on one whose kernel does"

installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }

packages=(cmake g++ libgtest-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
  btrfs-progs valgrind time python3 clang-tidy cppcheck strace exfat-fuse exfatprogs
  fusefat dosfstools python3-fusepy locales mandoc bsdextrautils libcap2-bin)
# 32-bit Wine only where it can start: installed elsewhere, it takes over the
# wine command even for 64-bit programs.
[ -z "$runs_32bit" ] || packages+=(wine32:i386)
missing=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== Installing what the tests need: ${missing[*]}"
    # 32-bit Wine comes from the i386 architecture.
    [ -z "$runs_32bit" ] || quietly "adding the i386 architecture" dpkg --add-architecture i386
    # A mirror in the middle of a sync fails an index or two: the lists it did
    # fetch still serve, and the install below says whether they were enough.
    apt-get update -qq >"$setup_log" 2>&1 </dev/null ||
      echo "WARNING: apt-get update failed in part: $(grep -m1 '^E:' "$setup_log" || true)"
    # Without its i386 index a mirror offers no 32-bit Wine that matches the
    # 64-bit one: the run goes on as on a kernel without 32-bit programs.
    if [ -n "$runs_32bit" ] && ! env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      "${missing[@]}" >"$setup_log" 2>&1 </dev/null; then
      no_32bit_why="32-bit Wine could not be installed: $(grep -m1 '^E:' "$setup_log" || true)"
      echo "WARNING: $no_32bit_why"
      runs_32bit=
      missing=("${missing[@]/wine32:i386/}")
    fi
    quietly "installing ${missing[*]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ${missing[*]}
  else
    echo "Missing for the full test run: ${missing[*]}. Install it with:"
    echo "  sudo ${runs_32bit:+dpkg --add-architecture i386 && sudo }apt-get update && sudo apt-get install -y ${missing[*]}"
  fi
fi

# The Windows console test runs in a Russian locale, where Wine's system
# texts are Russian and its console's code page is 866, and in a Japanese
# one, whose ANSI code page has two-byte characters.
for name in ru_RU ja_JP; do
  if ! locale -a 2>/dev/null | grep -qix "$name.utf8" && [ "$(id -u)" = 0 ] &&
    command -v localedef >/dev/null; then
    localedef -i "$name" -f UTF-8 "$name.UTF-8" || true
  fi
  locale -a 2>/dev/null | grep -qix "$name.utf8" ||
    echo "SKIPPED: the Windows console test (make the locale: localedef -i $name -f UTF-8 $name.UTF-8)"
done

if command -v clang-tidy >/dev/null && command -v cppcheck >/dev/null; then
  echo "== Static analysis"
  scripts/check-static.sh
else
  echo "SKIPPED: static analysis (install clang-tidy and cppcheck)"
fi

windows_exes=() windows_built=0 wine=
if command -v wine >/dev/null; then
  if [ -z "$runs_32bit" ] && [ -x /usr/lib/wine/wine64 ]; then
    # Debian's wine command takes the 32-bit loader whenever it is installed,
    # and here that loader cannot start: every program goes to the 64-bit one.
    mkdir -p build-wine-loader
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec "$WINELOADER" "$@"\n' \
      >build-wine-loader/wine
    chmod +x build-wine-loader/wine
    export PATH=$PWD/build-wine-loader:$PATH
  fi
  # A prefix of the tests' own. One made before 32-bit Wine was installed
  # fails to load kernel32.dll for 32-bit programs, so it is made anew then.
  export WINEDEBUG=-all WINEPREFIX=$PWD/build-wine
  with_wine32=
  [ -z "$runs_32bit" ] || ! installed wine32:i386 || with_wine32=yes
  if [ -n "$with_wine32" ] && [ ! -f "$WINEPREFIX/.with-wine32" ]; then rm -rf "$WINEPREFIX"; fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    quietly "making the Wine prefix $WINEPREFIX" wine wineboot -i
    [ -z "$with_wine32" ] || touch "$WINEPREFIX/.with-wine32"
  fi
  # One persistent server with Wine's own services, all started here: a
  # service first started inside ctest would inherit its pipes and keep it
  # waiting for ever. A server left by wineboot or an earlier run ends first.
  wineserver -k >/dev/null 2>&1 || true
  quietly "waiting for Wine's server to end" wineserver -w
  quietly "starting a persistent Wine server" wineserver -p
  quietly "starting Wine's services" wine cmd /c exit
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  wine=$(command -v wine)
fi
for preset in windows-x64 windows-x86; do
  arch=x86_64 dir=build-windows wine_package=wine64
  [ "$preset" = windows-x86 ] && arch=i686 dir=build-windows-i686 wine_package=wine32:i386
  if ! command -v "$arch-w64-mingw32-g++-posix" >/dev/null; then
    echo "SKIPPED: the $preset build and its tests (install g++-mingw-w64-${arch//_/-}-posix)"
    continue
  fi
  why_not=
  if [ "$arch" = i686 ] && [ -z "$runs_32bit" ]; then
    why_not=$no_32bit_why
  elif [ -z "$wine" ] || ! installed "$wine_package"; then
    why_not="install wine and $wine_package"
  fi
  runs=", unit tests under Wine"
  [ -z "$why_not" ] || runs=
  echo "== $preset: build$runs, resources"
  cmake --preset "$preset" ${wine:+-DWINE_PROGRAM="$wine"}
  cmake --build --preset "$preset" -j "$jobs"
  windows_built=$((windows_built + 1))
  if [ -n "$why_not" ]; then
    ctest --preset "$preset" -R '^windows_release$'
    echo "SKIPPED: the $preset tool's runs under Wine: its unit tests, its console test and the end-to-end suite ($why_not)"
    continue
  fi
  ctest --preset "$preset"
  windows_exes+=("$PWD/$dir/link-installer.exe")
done

if [ $windows_built -eq 2 ]; then
  echo "== Release: made twice, from two clones in other directories, umasks and time zones"
  release=$PWD/build-release
  rm -rf "$release"
  scripts/release.sh "$release"
  (cd "$release" && sha256sum -c --quiet SHA256SUMS)
  version=$(sed -n 's/^project(link-installer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  # The zips' executables are stripped: check that they kept their resources.
  unpacked=$(mktemp -d)
  for system in win32 win64; do
    arch=x86_64
    [ $system = win32 ] && arch=i686
    (cd "$unpacked" && cmake -E tar xf "$release/link-installer-$version-$system.zip")
    packed=$unpacked/link-installer-$version-$system/link-installer.exe
    bash tests/windows_release_test.sh "$packed" "$arch" "$version"
    # Its text for Notepad, which before Windows 10 knows no other line end than CR LF,
    # standing alone: the command line first, the 14 names, and no other document named.
    readme=$(dirname "$packed")/README.txt
    [ -s "$readme" ] && ! grep -qv $'\r$' "$readme" && [ -z "$(tail -c 1 "$readme")" ] &&
      ! grep -q 'docs/' "$readme" && [ "$(grep -c $'^- [^ ]*, for [^ ]*\r$' "$readme")" = 14 ] &&
      [ "$(sed -n '/^-\+\r$/{x;p;q};h' "$readme")" = $'Command line\r' ] || {
      echo "FAIL: the $system zip's README.txt is not CR LF throughout, or does not stand alone"
      exit 1
    }
    # Its licence, and the notices of the runtime linked into the exe, in CR LF too.
    licence=$(dirname "$packed")/LICENSE.txt notices=$(dirname "$packed")/THIRD-PARTY-NOTICES.txt
    for text in "$licence" "$notices"; do
      [ -s "$text" ] && ! grep -qv $'\r$' "$text" || {
        echo "FAIL: the $system zip has no $(basename "$text"), or not in CR LF throughout"
        exit 1
      }
    done
    tr -d '\r' <"$licence" | cmp -s - LICENSE && grep -q winpthreads "$notices" &&
      grep -q $'^ Permission is hereby granted, free of charge, to any person obtaining\r$' "$notices" || {
      echo "FAIL: the $system zip's LICENSE.txt is not LICENSE, or its notices lack winpthreads'"
      exit 1
    }
    echo "   $system: $(stat -c %s "$packed") bytes stripped"
  done
  again=$(mktemp -d)
  git clone -q . "$again/clone"
  (cd "$again/clone" && umask 077 && TZ=Pacific/Chatham scripts/release.sh "$again/release" >/dev/null)
  for file in "$release"/*; do
    cmp "$file" "$again/release/$(basename "$file")" || {
      echo "FAIL: $file differs between two builds of one commit"
      exit 1
    }
  done
  [ "$(ls "$release" | wc -l)" = "$(ls "$again/release" | wc -l)" ]
  echo "ok: the release rebuilds bit for bit"
  ! LINK_INSTALLER_NOTICES_DIR=/nonexistent scripts/release.sh "$again/none" 2>/dev/null &&
    [ -z "$(ls "$again/none")" ] || {
    echo "FAIL: a release without the runtime's notices was made"
    exit 1
  }
  rm -rf "$unpacked" "$again"
else
  echo "SKIPPED: the release (needs both Windows builds)"
fi

echo "== Native tests under AddressSanitizer and UBSan"
cmake --preset sanitize
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize

if command -v valgrind >/dev/null; then
  echo "== Memcheck over whole runs"
  cmake -S . -B build-memcheck -DLINK_INSTALLER_STATIC=OFF
  cmake --build build-memcheck -j "$jobs" --target link-installer
  tests/memcheck.sh build-memcheck/link-installer
else
  echo "SKIPPED: memcheck (install valgrind)"
fi

cmake --preset native ${wine:+-DWINE_PROGRAM="$wine"} -DLINK_INSTALLER_WINDOWS_EXE="$(
  IFS=';'
  echo "${windows_exes[*]}"
)"
cmake --build --preset native -j "$jobs"
if command -v mandoc >/dev/null; then
  echo "== The manual page"
  # Cross-references are looked up in the machine's own index, which may be stale.
  lint=$(mandoc -T lint link-installer.1 2>&1 | grep -v -e 'mandoc\.db' -e 'referenced manual' || true)
  [ -z "$lint" ] || {
    echo "FAIL: mandoc -T lint link-installer.1:"
    echo "$lint"
    exit 1
  }
  # sed reads to the end: quitting early would cut col off with SIGPIPE.
  synopsis=$(mandoc -T ascii link-installer.1 | col -b | sed -n '/^SYNOPSIS/{n;p}' | xargs)
  usage=$(build/link-installer --help | sed -n '1s/^usage: //p')
  [ "$synopsis" = "$usage" ] || {
    echo "FAIL: the manual's synopsis \"$synopsis\" is not the usage \"$usage\""
    exit 1
  }
  echo "ok: link-installer.1 lints clean, and its synopsis is the usage"
else
  echo "SKIPPED: the manual page's lint (install mandoc)"
fi
echo "== Native tests${windows_exes:+, and the end-to-end suite against the Windows tools}"
ctest --preset native
