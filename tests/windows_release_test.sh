#!/usr/bin/env bash
# Reads a built link-installer.exe back as a Windows user's system would: its
# format, the DLLs it needs, its manifest and its version resource.
# Usage: windows_release_test.sh EXE ARCH VERSION   (ARCH: x86_64 or i686)
set -euo pipefail
exe=$1 arch=$2 version=$3
fail() {
  echo "FAIL: $exe: $*"
  exit 1
}
has() { grep -qF -- "$1" <<<"$resources" || fail "no $1"; }

headers=$("$arch-w64-mingw32-objdump" -p "$exe")
format=pei-x86-64
[ "$arch" = i686 ] && format=pei-i386
grep -q "file format $format\$" <<<"$headers" || fail "not $format"
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort -u | tr '\n' ' ')
[ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || fail "needs $dlls"

# windres writes the resources back as a script, with quotes doubled.
resources=$("$arch-w64-mingw32-windres" -i "$exe" -O rc)
has '1 24 /* RT_MANIFEST */'
has 'requestedExecutionLevel level=""asInvoker""'
has '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</longPathAware>'
has '<activeCodePage xmlns=""http://schemas.microsoft.com/SMI/2019/WindowsSettings"">UTF-8</activeCodePage>'
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
  1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  has '<supportedOS Id=""{'"$os"'}""/>'
done
has "FILEVERSION ${version//./, }, 0"
has "VALUE \"FileVersion\", \"$version\""
has "VALUE \"ProductVersion\", \"$version\""
has 'VALUE "FileDescription", "'
has 'VALUE "ProductName", "link-installer"'
has 'VALUE "InternalName", "link-installer"'
has 'VALUE "OriginalFilename", "link-installer.exe"'
echo "ok: $exe is $format, needs $dlls, and carries its manifest and version $version"
