#!/usr/bin/env bash
# Memcheck over whole runs of the tool: one that succeeds with hard links, one
# that copies, and one that fails with error reports. Any memory error or leak
# of any kind fails the test.
set -euo pipefail
tool=$1
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
memcheck() {
  valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all "$tool" "$@" >/dev/null 2>"$work/stderr"
}
expect() {
  local want=$1 label=$2
  shift 2
  local status=0
  memcheck "$@" || status=$?
  if [ "$status" != "$want" ]; then
    echo "FAIL: $label: exit status $status, expected $want"
    cat "$work/stderr"
    exit 1
  fi
  echo "ok: $label"
}

"$here/scripts/make-sample-tree.sh" "$work/tree"
expect 0 "run that makes hard links" "$work/tree" -v

if [ -d /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$work")" ]; then
  elsewhere=$(mktemp -d /dev/shm/memcheck.XXXXXX)
  trap 'rm -rf "$work" "$elsewhere"' EXIT
  mv "$work/tree/bin" "$elsewhere/bin"
  ln -s "$elsewhere/bin" "$work/tree/bin"
  expect 0 "run that copies, with error reports" "$work/tree" -v
fi

rm "$work/tree/bin/arm-uclinuxeabi-gcc-4.4.1.exe"
expect 1 "run that fails" "$work/tree" -v
expect 1 "run with no argument"
echo "memcheck: no errors, no leaks"
