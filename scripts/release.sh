#!/usr/bin/env bash
# Makes the whole release of the checked-out commit in OUTDIR:
#   link-installer-VERSION-win32.zip and -win64.zip, each with the stripped
#   link-installer.exe, README.txt (scripts/windows-readme.py), LICENSE.txt and
#   THIRD-PARTY-NOTICES.txt (scripts/windows-notices.py), the last three CR LF;
#   link-installer-VERSION.tar.gz, the commit's source;
#   SHA256SUMS, for sha256sum -c.
# The bytes depend on the commit alone: the tools are built from the source
# archive itself, every time stamp is SOURCE_DATE_EPOCH (the commit's time
# unless set), and neither the directory, the umask nor the time zone of the
# build shows. Run in an unpacked source archive, it makes the same two zips
# from it. Needs cmake, python3, MinGW-w64 with its copyright files, and git
# in a checkout.
# Usage: scripts/release.sh OUTDIR
set -euo pipefail
[ $# -eq 1 ] || {
  echo "usage: $0 OUTDIR" >&2
  exit 2
}
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
umask 022
export TZ=UTC LC_ALL=C
version=$(sed -n 's/^project(link-installer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The notices of the runtime that each exe links in come from the toolchain's
# own copyright files (Debian's): without them no zip is made.
notices=${LINK_INSTALLER_NOTICES_DIR:-/usr/share/doc}
gcc_copyright=$notices/gcc-mingw-w64-base/copyright
for notice in "$notices"/mingw-w64-{i686,x86-64}-dev/copyright "$gcc_copyright"; do
  [ -r "$notice" ] || {
    echo "$0: no $notice, which a zip's THIRD-PARTY-NOTICES.txt is made from;" \
      "install MinGW-w64 from Debian's packages" >&2
    exit 1
  }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -e .git ]; then
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
  source_archive=link-installer-$version.tar.gz
  git archive --format=tar --prefix="link-installer-$version/" HEAD | gzip -9n >"$out/$source_archive"
  tar -xzf "$out/$source_archive" -C "$work"
  source=$work/link-installer-$version
else
  # An unpacked source archive: each of its files carries the commit's time.
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(stat -c %Y CMakeLists.txt)}
  source_archive=
  source=$PWD
fi

for arch in i686 x86_64; do
  system=win32
  [ "$arch" = x86_64 ] && system=win64
  mingw_copyright=$notices/mingw-w64-${arch//_/-}-dev/copyright
  build=$work/build-$arch
  cmake -S "$source" -B "$build" --toolchain "$source/cmake/mingw-w64-$arch.cmake" \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target link-installer -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
  stage=$work/stage-$arch/link-installer-$version-$system
  mkdir -p "$stage"
  "$arch-w64-mingw32-strip" -o "$stage/link-installer.exe" "$build/link-installer.exe"
  python3 "$source/scripts/windows-readme.py" "$source" "$stage/README.txt"
  sed 's/$/\r/' "$source/LICENSE" >"$stage/LICENSE.txt"
  python3 "$source/scripts/windows-notices.py" "$mingw_copyright" "$gcc_copyright" \
    "$stage/THIRD-PARTY-NOTICES.txt"
  # Entries in a fixed order, with the commit's time and fixed modes.
  python3 - "$out/link-installer-$version-$system.zip" "$stage" <<'PYTHON'
import os, sys, time, zipfile
archive, stage = sys.argv[1], sys.argv[2]
folder = os.path.basename(stage)
stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]  # zip starts in 1980
with zipfile.ZipFile(archive, "w") as zip_file:
    for name, mode in (("link-installer.exe", 0o755), ("README.txt", 0o644),
                       ("LICENSE.txt", 0o644), ("THIRD-PARTY-NOTICES.txt", 0o644)):
        entry = zipfile.ZipInfo(f"{folder}/{name}", date_time=stamp)
        entry.create_system = 3  # Unix, so that the modes below are read
        entry.external_attr = (0o100000 | mode) << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, name), "rb") as content:
            zip_file.writestr(entry, content.read(), compresslevel=9)
PYTHON
done

cd "$out"
sha256sum "link-installer-$version-win32.zip" "link-installer-$version-win64.zip" \
  ${source_archive:+"$source_archive"} >SHA256SUMS
echo "release $version in $out:"
cat SHA256SUMS
