// Whether an old second name already is the copy a run would make of its
// target now, so that a rerun over a tree of copies writes nothing, and a
// read-only or running copy stands; and its replacement by a hard link made
// beside it, where hard links are allowed.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "windows/copy.h"
#include "windows/handles.h"
#include "windows/held_open.h"
#include "windows/win32_names.h"

namespace {

// Reads up to size bytes, as many as the file still holds.
bool read_block(HANDLE file, char* buffer, DWORD size, DWORD& got) {
  got = 0;
  for (DWORD some = 1; some > 0 && got < size; got += some) {
    if (ReadFile(file, buffer + got, size - got, &some, nullptr) == FALSE) return false;
  }
  return true;
}

// Both files once, a block at a time, whatever their size.
bool same_bytes(HANDLE from, HANDLE copy) {
  static char ours[1 << 16];
  static char theirs[sizeof ours];
  for (;;) {
    DWORD got = 0;
    DWORD other = 0;
    if (!read_block(from, ours, sizeof ours, got) ||
        !read_block(copy, theirs, sizeof theirs, other) || other != got) {
      return false;
    }
    if (got == 0) return true;
    if (std::memcmp(ours, theirs, got) != 0) return false;
  }
}

// Whether a copy's last-write time is its target's, as far as the copy's
// file system holds times: FAT keeps steps of 2 seconds, exFAT of 10 ms or of
// whole seconds, some rounding up and others down. A time so rounded is a
// whole number of 10 ms, and within 2 seconds of the target's either way.
bool same_time(const FILETIME& copy, const FILETIME& target) {
  const auto ticks = [](const FILETIME& at) {  // of 100 ns
    return (static_cast<ULONGLONG>(at.dwHighDateTime) << 32) | at.dwLowDateTime;
  };
  const ULONGLONG made = ticks(copy);
  const ULONGLONG wanted = ticks(target);
  const ULONGLONG apart = made > wanted ? made - wanted : wanted - made;
  return apart == 0 || (made % 100'000 == 0 && apart <= 20'000'000);
}

// Whether the copy's read-only, hidden and system attributes count as the
// target's: they are, or its file system holds none (FAT through FUSE under
// Wine, some network shares). Told by setting the target's on the copy, which
// such a file system refuses or ignores, as it does for a new copy: never its
// bytes. Where they take, the copy was not the target's twin: they are put
// back at once (a read-only old copy could not be replaced), and it is made
// again. A file that another name shares is no copy of the tool's own, and
// is never tried.
bool same_attributes(const char* link_name, const BY_HANDLE_FILE_INFORMATION& made, DWORD wanted) {
  constexpr DWORD visible = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const DWORD held = made.dwFileAttributes;
  if ((held & visible) == (wanted & visible)) return true;
  if (made.nNumberOfLinks != 1) return false;
  constexpr DWORD kept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const auto set = [&](DWORD attributes) {
    SetFileAttributesA(link_name, attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes);
  };
  set((held & kept) | (wanted & visible));
  const DWORD after = GetFileAttributesA(link_name);
  const bool none_held = after != INVALID_FILE_ATTRIBUTES && (after & visible) == (held & visible);
  if (!none_held) set(held & (kept | visible));
  return none_held;
}

// path's file, open for DELETE as a move of any of its names opens it, and
// sharing everything, so that the tool's own opens share with it, but a
// program that comes later and does not share deletion is refused.
HANDLE open_for_delete(const char* path) {
  return CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

// Whether a hard link beside link_name to target is known to be refused
// without making one, which a held target would pin: their volumes differ,
// as CreateHardLinkA itself then says, or a FAT volume holds no hard links.
// The volume flag for hard links tells nothing: Wine sets it nowhere, and
// Vista's NTFS does not. Where the answer is not known, a link may be made.
bool no_hard_link(const char* link_name, const char* target) {
  constexpr DWORD everyone = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const HANDLE name = CreateFileA(link_name, 0, everyone, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const HANDLE file = CreateFileA(target, 0, everyone, nullptr, OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION named{};
  BY_HANDLE_FILE_INFORMATION linked{};
  const bool known = name != INVALID_HANDLE_VALUE && file != INVALID_HANDLE_VALUE &&
                     GetFileInformationByHandle(name, &named) != FALSE &&
                     GetFileInformationByHandle(file, &linked) != FALSE;
  const bool apart = known && named.dwVolumeSerialNumber != linked.dwVolumeSerialNumber;
  // Asked only on one volume: under Wine, the question goes to another process.
  wchar_t system[16] = L"";
  const bool fat = known && !apart &&
                   GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr,
                                                 system, 16) != FALSE &&
                   (std::wcsncmp(system, L"FAT", 3) == 0 || std::wcscmp(system, L"exFAT") == 0);
  if (name != INVALID_HANDLE_VALUE) CloseHandle(name);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (apart) SetLastError(ERROR_NOT_SAME_DEVICE);
  if (fat) SetLastError(ERROR_INVALID_FUNCTION);  // FAT's answer to a hard link
  return apart || fat;
}

// Waits, before a temporary name beside link_name is made, for the programs
// that hold the old name or the target, and opens target's file for DELETE
// into file; done where the relink may go on, else how the row goes on.
platform::replaced wait_for_holders(const char* link_name, const char* target, HANDLE& file) {
  // An old name held now, where a hard link could be made, is waited for
  // before any temporary name is made: where it stays held, the row fails
  // with no temporary name that a holder of the target sharing deletion
  // would keep pending. Elsewhere the copy waits for it itself.
  if (!free_of_holders(link_name)) {
    if (no_hard_link(link_name, target)) return platform::replaced::refused;
    if (!unless_held(link_name, [&] { return free_of_holders(link_name); })) {
      return platform::replaced::not_replaced;
    }
  }
  // The move opens the target's file for DELETE, through the temporary name:
  // a program that holds the target without sharing deletion refuses it, and
  // would then keep the temporary link from going too. So the tool holds
  // the file open for DELETE itself from here until the move and any removal
  // of the temporary name are done: a program that comes later and does not
  // share deletion is refused, and cannot pin that name. One there already
  // is waited for first, under the target's name, but only where a hard link
  // could be made, and where the old name is not already the copy that the
  // row would keep: a rerun over copies waits for nothing. One held past the
  // wait leaves the row to the copy, with no name made.
  file = open_for_delete(target);
  const DWORD held = GetLastError();
  if (file == INVALID_HANDLE_VALUE &&
      (held == ERROR_SHARING_VIOLATION || held == ERROR_LOCK_VIOLATION)) {
    if (no_hard_link(link_name, target)) return platform::replaced::refused;
    const bool kept = same_copy_of(target, link_name);
    SetLastError(held);
    if (kept) return platform::replaced::refused;
    const auto reopen = [&] {
      file = open_for_delete(target);
      return file != INVALID_HANDLE_VALUE;
    };
    if (!unless_held(target, reopen) && GetLastError() == ERROR_SHARING_VIOLATION) {
      return platform::replaced::refused;
    }
  }
  return platform::replaced::done;
}

}  // namespace

bool same_copy_of(const char* target, const char* link_name) {
  const HANDLE from = CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  // The name itself, not what a link there leads to; a running program
  // shares its file for reading.
  const HANDLE copy = CreateFileA(
      link_name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION source{};
  BY_HANDLE_FILE_INFORMATION made{};
  constexpr DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  const bool same =
      from != INVALID_HANDLE_VALUE && copy != INVALID_HANDLE_VALUE &&
      GetFileType(copy) == FILE_TYPE_DISK && GetFileInformationByHandle(from, &source) != FALSE &&
      GetFileInformationByHandle(copy, &made) != FALSE &&
      (made.dwFileAttributes & not_plain) == 0 && made.nFileSizeHigh == source.nFileSizeHigh &&
      made.nFileSizeLow == source.nFileSizeLow &&
      same_time(made.ftLastWriteTime, source.ftLastWriteTime) && same_bytes(from, copy) &&
      same_attributes(link_name, made, source.dwFileAttributes);
  if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
  if (from != INVALID_HANDLE_VALUE) CloseHandle(from);
  return same;
}

platform::replaced replace_by_hard_link_beside(const char* link_name, const char* target) {
  // Named as a copy's temporary file, so that a run killed before it takes
  // the name leaves nothing that the next copy's sweep would not take.
  static char temporary[longest_path];
  const size_t length = std::strlen(link_name);
  if (length + sizeof temporary_infix + 18 > sizeof temporary) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return platform::replaced::refused;
  }
  char* const owner = std::copy(temporary_infix, temporary_infix + sizeof temporary_infix - 1,
                                std::copy(link_name, link_name + length, temporary));
  // A relink killed before its move leaves its hard link: what dead runs
  // left beside the name goes first.
  remove_leftovers(link_name, temporary, owner);
  HANDLE file = INVALID_HANDLE_VALUE;
  const platform::replaced ready = wait_for_holders(link_name, target, file);
  if (ready != platform::replaced::done) return ready;
  const auto done = [&](platform::replaced outcome) {
    if (file != INVALID_HANDLE_VALUE) close_keeping_error(file);
    return outcome;
  };
  char* const count = put_hex(owner, GetCurrentProcessId());
  static DWORD attempt = 0x80000000;  // apart from the counts the copy uses
  for (int tries = 0; tries < 16; ++tries) {
    *count = '-';
    *put_hex(count + 1, attempt++) = '\0';
    if (CreateHardLinkA(temporary, target, nullptr) == FALSE) {
      const DWORD error = GetLastError();
      if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) continue;
      return done(platform::replaced::refused);
    }
    // A name in use by a running program, or read-only, refuses the move; one
    // that another program holds open for a moment, whatever it shares, or
    // maps, is waited for.
    if (!unless_held(link_name, [&] {
          return MoveFileExA(temporary, link_name, MOVEFILE_REPLACE_EXISTING) != FALSE;
        })) {
      const DWORD error = GetLastError();
      DeleteFileA(temporary);
      SetLastError(error);
      return done(platform::replaced::not_replaced);
    }
    // Where both names were one file already, a POSIX rename under Wine
    // leaves both in place.
    DeleteFileA(temporary);
    return done(platform::replaced::done);
  }
  return done(platform::replaced::refused);
}
