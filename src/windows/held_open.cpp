// Waiting, a few seconds at the most, for a name that another program holds
// open; see held_open.h.
#include "windows/held_open.h"

#include <algorithm>
#include <cstdio>

#include "message.h"
#include "windows/handles.h"
#include "windows/win32_names.h"

namespace {

// How long a name may keep a run waiting, in all, before its row fails.
constexpr DWORD longest_wait_for_a_name = 5000;  // milliseconds

// The name that keeps the run waiting, and for how long it has. A row's
// rename and then its delete meet the same name: they share one wait, so a
// name held for good fails its row after about five seconds, not ten.
struct held_name {
  const char* path;
  DWORD waited;
  unsigned tries;
  bool said;
};
held_name current{};

// The pauses between tries, in milliseconds: short at first, as most holders
// let go within a few, then up to a second.
DWORD pause_after(unsigned tries) {
  constexpr DWORD pauses[] = {1, 10, 20, 40, 80, 160, 320, 640};
  return tries < sizeof pauses / sizeof pauses[0] ? pauses[tries] : 1000;
}

// Says once that the run waits for path, with Windows' own separators.
void say_waiting(const char* path) {
  static char shown[longest_path];
  size_t length = 0;
  for (; path[length] != '\0' && length + 1 < sizeof shown; ++length) {
    shown[length] = path[length] == '/' ? '\\' : path[length];
  }
  say(stderr, {"waiting for \"", {shown, length}, "\", which another program has open\n"});
}

// The name path itself, for DELETE, sharing nothing: refused with a sharing
// violation wherever any other program has the file open.
HANDLE open_alone(const char* path) {
  return CreateFileA(path, DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

// After a call on path failed with error: whether another program holding
// path open is why: a sharing or lock violation says so itself; access denied
// does where opening path while sharing nothing, which touches nothing, meets
// a sharing violation, as it does for any holder, whatever that shares. A
// directory refuses that open in another way. Where it opens, no handle
// holds path, but a view that a program mapped and kept may: a viewer's or
// a scanner's data view lets path be opened for writing data, while a
// running program's image and a read-only name, which no wait changes,
// refuse it. Keeps the last error.
bool held_by_another_program(const char* path, DWORD error) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  const HANDLE probe = open_alone(path);
  bool held = probe == INVALID_HANDLE_VALUE &&
              (GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_LOCK_VIOLATION);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    const HANDLE writer =
        CreateFileA(path, FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    held = writer != INVALID_HANDLE_VALUE;
    if (held) CloseHandle(writer);
  }
  SetLastError(error);
  return held;
}

}  // namespace

bool wait_for_held_name(const char* path) {
  const DWORD error = GetLastError();
  if (current.path != path) current = {path, 0, 0, false};
  if (!held_by_another_program(path, error)) {
    SetLastError(error);
    return false;
  }
  if (current.waited >= longest_wait_for_a_name) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  if (current.waited >= 1000 && !current.said) {
    say_waiting(path);
    current.said = true;
  }
  const DWORD pause =
      std::min(pause_after(current.tries++), longest_wait_for_a_name - current.waited);
  Sleep(pause);
  current.waited += pause;
  SetLastError(error);
  return true;
}

bool free_of_holders(const char* path) {
  const HANDLE name = open_alone(path);
  if (name != INVALID_HANDLE_VALUE) {
    CloseHandle(name);
    return true;
  }
  const DWORD error = GetLastError();
  return error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION;
}

bool delete_at_once(const char* path) {
  return unless_held(path, [&] {
    const HANDLE name = open_alone(path);
    if (name == INVALID_HANDLE_VALUE) return false;
    // The only handle: the name goes as it closes.
    const bool marked = mark_for_deletion(name, true);
    close_keeping_error(name);
    return marked;
  });
}
