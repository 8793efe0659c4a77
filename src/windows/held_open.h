// Names that another program holds open for a moment. A virus scanner, the
// search indexer or a backup agent opens each new or changed program without
// sharing its deletion, right when a toolchain has been unpacked: a call that
// replaces or removes such a name is tried again, for a few seconds.
#pragma once

#include <windows.h>

// Waits before the next try of a call on path that failed with the last
// error: false, with that error kept, where another program's handle is not
// the cause, or path has kept the run waiting long enough. The waits grow,
// and a run kept waiting more than a second says so once on standard error.
bool wait_for_held_name(const char* path);

// Calls attempt until it succeeds, or fails for good; the last error is its own.
template <class Attempt>
bool unless_held(const char* path, Attempt attempt) {
  while (!attempt()) {
    if (!wait_for_held_name(path)) return false;
  }
  return true;
}
