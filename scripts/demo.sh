#!/usr/bin/env bash
# Builds the tool alone, lays out a sample toolchain tree, and runs the tool on
# it verbosely, so the trace and the second names it made can be seen.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== Building build/link-installer (the tool alone, not its tests)"
cmake -S . -B build
cmake --build build --target link-installer -j "$(nproc 2>/dev/null || echo 2)"

tree=build/sample-tree
rm -rf "$tree"
scripts/make-sample-tree.sh "$tree"

echo
echo "\$ build/link-installer $tree -v"
status=0
build/link-installer "$tree" -v || status=$?
echo "exit status $status"
echo
echo "The names that now share a file (inode, link count, path):"
find "$tree" -type f -links +1 -printf '%i %n %P\n' | sort -n
