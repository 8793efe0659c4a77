// Small calls on Windows file handles that the held-name wait, the copy and
// the relink all use: kept apart, so that those files form a line.
#pragma once

#include <windows.h>

// Closes a handle without disturbing the last error, which still describes the failure.
void close_keeping_error(HANDLE handle);

// While marked, the file goes when its last handle closes, even when the
// process dies: so a killed run leaves nothing behind.
bool mark_for_deletion(HANDLE file, bool marked);
