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
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }

packages=(cmake g++ libgtest-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
  wine32:i386 btrfs-progs valgrind time python3 clang-tidy cppcheck strace exfat-fuse exfatprogs
  fusefat dosfstools python3-fusepy locales)
missing=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== Installing what the tests need: ${missing[*]}"
    # 32-bit Wine comes from the i386 architecture.
    dpkg --add-architecture i386
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "Missing for the full test run: ${missing[*]}. Install it with:"
    echo "  sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y ${missing[*]}"
  fi
fi

# The Windows console test runs in a Russian locale, where Wine's system
# texts are Russian and its console's code page is 866.
if ! locale -a 2>/dev/null | grep -qix ru_RU.utf8 && [ "$(id -u)" = 0 ] &&
  command -v localedef >/dev/null; then
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 || true
fi
locale -a 2>/dev/null | grep -qix ru_RU.utf8 ||
  echo "SKIPPED: the Windows console test (make the locale: localedef -i ru_RU -f UTF-8 ru_RU.UTF-8)"

if command -v clang-tidy >/dev/null && command -v cppcheck >/dev/null; then
  echo "== Static analysis"
  scripts/check-static.sh
else
  echo "SKIPPED: static analysis (install clang-tidy and cppcheck)"
fi

windows_exes=()
if command -v wine >/dev/null; then
  # A prefix of the tests' own. One made before 32-bit Wine was installed
  # fails to load kernel32.dll for 32-bit programs, so it is made anew then.
  export WINEDEBUG=-all WINEPREFIX=$PWD/build-wine
  if installed wine32:i386 && [ ! -f "$WINEPREFIX/.with-wine32" ]; then rm -rf "$WINEPREFIX"; fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    if installed wine32:i386; then touch "$WINEPREFIX/.with-wine32"; fi
  fi
  # One persistent server with Wine's own services, all started here: a
  # service first started inside ctest would inherit its pipes and keep it
  # waiting for ever. A server left by wineboot or an earlier run ends first.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
fi
for preset in windows-x64 windows-x86; do
  arch=x86_64 wine_package=wine64
  [ "$preset" = windows-x86 ] && arch=i686 wine_package=wine32:i386
  if ! command -v "$arch-w64-mingw32-g++-posix" >/dev/null || ! command -v wine >/dev/null ||
    ! installed "$wine_package"; then
    echo "SKIPPED: the $preset build and its tests (install g++-mingw-w64-${arch//_/-}-posix, wine and $wine_package)"
    continue
  fi
  echo "== $preset: build, unit tests under Wine, resources"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
  dir=build-windows
  [ "$preset" = windows-x86 ] && dir=build-windows-i686
  windows_exes+=("$PWD/$dir/link-installer.exe")
done

if [ ${#windows_exes[@]} -eq 2 ]; then
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

cmake --preset native -DLINK_INSTALLER_WINDOWS_EXE="$(
  IFS=';'
  echo "${windows_exes[*]}"
)"
cmake --build --preset native -j "$jobs"
echo "== Native tests${windows_exes:+, and the end-to-end suite against the Windows tools}"
ctest --preset native
