#!/usr/bin/env bash
# Runs a built link-installer.exe under Wine on a console of its own, in a
# Russian locale, where the console's code page is 866 and the system's texts
# are Russian. Both must show as written, with a Cyrillic tree root; a stream
# sent to a file keeps its UTF-8 bytes; the console's code page stays as it was.
# ANSI_EXE, the same tool with no UTF-8 code page in its manifest, runs as
# Windows before 10 version 1903 runs it: in the system's ANSI page, 1251 here.
# Usage: windows_console_test.sh EXE [ANSI_EXE]   (exit status 77: skipped, and why)
set -euo pipefail
exe=$1 ansi_exe=${2:-}
skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAIL: $exe: $*"
  exit 1
}
command -v wine >/dev/null || skip "no wine"
command -v script >/dev/null || skip "no script (util-linux)"
for name in ru_RU ja_JP; do
  locale -a | grep -qix "$name.utf8" || skip "no $name.UTF-8 locale (localedef -i $name -f UTF-8 $name.UTF-8)"
done
export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 TREE=Дерево MISSING=Дуб

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Row 1's directories without its program: the report of a missing file.
mkdir -p "$TREE"/arm-uclinuxeabi/libc/thumb2/usr/{bin,lib/bin}
# A pseudo-terminal gives the run a console; the suite checks its status.
# Wine draws its screen with cursor movements, taken out again here: what is
# left is what shows.
on_console() {
  script -qc "stty cols 250 rows 50; $1" /dev/null </dev/null |
    perl -pe 's/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\[[?0-9;]*[A-Za-z]//g; s/\r//g'
}
row="arm-uclinuxeabi/libc/thumb2/usr/bin/gdbserver"
target="arm-uclinuxeabi/libc/thumb2/usr/lib/bin/gdbserver"
trace="Verbose mode.
link \"$row\" -> \"$target\""
report="Error(2): Файл не найден."
failed="creating link $row to $target failed"

# Both streams on one console, in order, between two looks at its code page.
# The batch file stays ASCII: cmd reads it in a code page of its own.
dos_exe="Z:${exe//\//\\}"
printf '@chcp\r\n@"%s" "%%TREE%%" -v\r\n@"%s" "%%MISSING%%"\r\n@chcp\r\n' "$dos_exe" "$dos_exe" \
  >console.cmd
shown=$(on_console "wine cmd /c console.cmd")
page=$(head -n 1 <<<"$shown")
[[ $page =~ 866$ ]] || fail "the console's code page is not 866: $page"
expected="$page
$trace
$report
$report
$failed
unable to _chdir to \"$MISSING\"
$page"
[ "$shown" = "$expected" ] || fail "the console shows
$shown
instead of
$expected"

# Standard error into a file, standard output still on the console.
shown=$(on_console "wine $(printf %q "$exe") $TREE -v 2>err; wine $(printf %q "$exe") $MISSING 2>>err")
[ "$shown" = "$trace" ] || fail "the console shows
$shown
instead of
$trace"
printf '%s\r\r\n%s\r\r\n%s\r\nunable to _chdir to "%s"\r\n' "$report" "$report" "$failed" \
  "$MISSING" >expected-err
cmp err expected-err || fail "the file's bytes differ: $(od -c err | head -n 20)"

# In the ANSI page, system texts and the root come in 1251, and show the same.
if [ -n "$ansi_exe" ]; then
  shown=$(on_console "wine $(printf %q "$ansi_exe") $TREE -v; wine $(printf %q "$ansi_exe") $MISSING")
  expected=$(sed -e 1d -e '$d' <<<"$expected")
  [ "$shown" = "$expected" ] || fail "in the ANSI code page, the console shows
$shown
instead of
$expected"
fi

# A message longer than one piece written to the console, whose 4,096th byte
# is the first of a two-byte character: in UTF-8, and in code page 932 (a
# Japanese system's ANSI page), where either byte of a character can look
# like a lead byte. The console breaks the long line; it must show whole.
whole_on_console() { # EXE CHARACTER
  local root
  root=$(printf "$2%.0s" $(seq 2100))
  shown=$(on_console "wine $(printf %q "$1") $root" | tr -d '\n')
  [ "$shown" = "unable to _chdir to \"$root\"" ] ||
    fail "a long root in $LANG shows as $(grep -o '.\{40\}$' <<<"$shown")"
}
whole_on_console "$exe" Д
[ -z "$ansi_exe" ] || LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 whole_on_console "$ansi_exe" 木
echo "ok: $exe shows Russian texts and a Cyrillic root on a code page 866 console"
