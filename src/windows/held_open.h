// Names that another program holds open for a moment. A virus scanner, the
// search indexer, an editor or a backup agent opens each new or changed
// program right when a toolchain has been unpacked, most of them sharing
// everything, deletion included. Windows still refuses to rename over a file
// that is open at all, and leaves a deleted one in place until its last
// holder lets go: a call that replaces or removes such a name is tried
// again, for a few seconds.
#pragma once

#include <windows.h>

// Waits before the next try of a call on path that failed with the last
// error: false where another program's handle is not the cause, with that
// error kept, or where path has kept the run waiting long enough, with a
// sharing violation, the real cause. The waits grow, and a run kept waiting
// more than a second says so once on standard error.
bool wait_for_held_name(const char* path);

// Calls attempt until it succeeds, or fails for good; the last error is its own.
template <class Attempt>
bool unless_held(const char* path, Attempt attempt) {
  while (!attempt()) {
    if (!wait_for_held_name(path)) return false;
  }
  return true;
}

// Whether no other program holds path open now, as a replacing rename would
// meet it: false, with a sharing violation, where one does. A name that
// cannot be opened for another reason counts as free: the call that follows
// reports that itself.
bool free_of_holders(const char* path);

// Removes the name path (never what a link there leads to) at once, through
// a handle that shares nothing, and waits while another program holds it:
// so no holder can leave it pending. False, with the error set, where it stays.
bool delete_at_once(const char* path);
