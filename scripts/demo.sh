#!/usr/bin/env bash
# Builds the tool, lays out a sample toolchain tree, and runs the tool on it
# verbosely, so the trace and the second names it made can be seen.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

tree=$PWD/build/sample-tree
rm -rf "$tree"
scripts/make-sample-tree.sh "$tree"

echo "\$ link-installer $tree -v"
status=0
build/link-installer "$tree" -v || status=$?
echo "exit status $status"
echo
echo "The names that now share a file (inode, link count, path):"
find "$tree" -type f -links +1 -printf '%i %n %P\n' | sort -n
