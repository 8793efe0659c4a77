// The Windows copy: a temporary file beside the name, marked for deletion
// from the start, flushed, renamed through its handle, and the leftovers of
// dead runs. Kept apart from the small calls, which win32_platform.cpp holds.
#include "windows/copy.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "windows/handles.h"
#include "windows/held_open.h"
#include "windows/win32_names.h"

namespace {

// The copy's buffers are static: the tool copies one file at a time, and
// standard containers would bring the C++ library's exceptions into the
// executable, half again its size.
//
// Moves every byte from one file into the other in large chunks, and checks
// that as many arrived as the source holds.
bool copy_bytes(HANDLE from, HANDLE to, ULONGLONG size) {
  static char buffer[1 << 20];
  ULONGLONG copied = 0;
  for (DWORD got = 1; got > 0; copied += got) {
    if (ReadFile(from, buffer, sizeof buffer, &got, nullptr) == FALSE) return false;
    // A full disk may first accept fewer bytes than asked; the next write
    // then reports it.
    for (DWORD written = 0; written < got;) {
      DWORD put = 0;
      if (WriteFile(to, buffer + written, got - written, &put, nullptr) == FALSE) return false;
      if (put == 0) {
        SetLastError(ERROR_DISK_FULL);  // no progress at all: nothing more will fit
        return false;
      }
      written += put;
    }
  }
  if (copied != size) SetLastError(ERROR_HANDLE_EOF);
  return copied == size;
}

// Gives file the name link_name through its handle, never replacing a name
// unless replacing.
bool name_file(HANDLE file, const char* link_name, bool replacing) {
  static wchar_t name[longest_path];
  // FILE_RENAME_INFO ends in the full path, as long as it needs to be.
  alignas(
      FILE_RENAME_INFO) static char room[sizeof(FILE_RENAME_INFO) + longest_path * sizeof(wchar_t)];
  auto* const rename = reinterpret_cast<FILE_RENAME_INFO*>(room);
  if (MultiByteToWideChar(CP_ACP, 0, link_name, -1, name, longest_path) == 0) return false;
  const DWORD length = GetFullPathNameW(name, longest_path, rename->FileName, nullptr);
  if (length == 0) return false;
  if (length >= longest_path) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  rename->ReplaceIfExists = replacing ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = length * sizeof(wchar_t);
  if (SetFileInformationByHandle(file, FileRenameInfo, rename,
                                 sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t)) != FALSE) {
    return true;
  }
  // Reported as the copy reports a name that was there before it began.
  if (GetLastError() == ERROR_ALREADY_EXISTS) SetLastError(ERROR_FILE_EXISTS);
  return false;
}

// Names the complete, flushed copy and keeps it. A new name is given while
// the copy is still marked, so a run killed in between loses the new name
// along with the file instead of leaving it under its temporary name. An old
// name is replaced only by a copy that stays, so a kill never costs it: the
// mark is cleared for each try, as it is where a file system refuses to
// rename a file that is to be deleted, and set again when the try fails, so
// that a run killed while it waits for the old name leaves no copy behind.
bool publish(HANDLE file, const char* link_name, bool replacing) {
  if (!replacing) {
    if (name_file(file, link_name, false)) return mark_for_deletion(file, false);
    if (GetLastError() == ERROR_FILE_EXISTS) return false;
  }
  return unless_held(link_name, [&] {
    if (!mark_for_deletion(file, false)) return false;
    if (name_file(file, link_name, replacing)) return true;
    const DWORD error = GetLastError();
    mark_for_deletion(file, true);
    SetLastError(error);
    return false;
  });
}

// What a user sees of the target carries over to its copy: its times, and
// its read-only, hidden and system attributes. A new file is already an
// archive, so the attributes are left alone when the target has none of
// those. A file system that keeps no times or attributes (Wine's FAT through
// FUSE, some network shares) refuses them, which costs the copy nothing, so
// the outcome is not looked at. The read-only attribute, unless read_only
// asks for it, is left out: while it is on, Windows would refuse to mark the
// file for deletion again, so it only comes once the copy has its name.
void carry_over(HANDLE file, const BY_HANDLE_FILE_INFORMATION& source, bool read_only) {
  const auto time = [](const FILETIME& at) {
    LARGE_INTEGER value;
    value.LowPart = at.dwLowDateTime;
    value.HighPart = static_cast<LONG>(at.dwHighDateTime);
    return value;
  };
  constexpr DWORD visible = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  constexpr DWORD carried = visible | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD wanted =
      source.dwFileAttributes & (read_only ? carried : carried & ~FILE_ATTRIBUTE_READONLY);
  FILE_BASIC_INFO basic{};  // 0 leaves a time or the attributes as they are
  if (!read_only) {
    basic.CreationTime = time(source.ftCreationTime);
    basic.LastAccessTime = time(source.ftLastAccessTime);
    basic.LastWriteTime = time(source.ftLastWriteTime);
  }
  if ((wanted & visible) != 0) basic.FileAttributes = wanted;
  SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
}

// Whether name is one that copy_beside gives its temporary files beside
// link_name's base name: ".link-installer-", eight hexadecimal digits, "-",
// and eight more. A user's file that merely looks like one is never swept.
bool temporary_name_of(const char* name, const char* base, size_t base_length) {
  constexpr size_t infix_length = sizeof temporary_infix - 1;
  if (std::strlen(name) != base_length + infix_length + 17 ||
      std::strncmp(name, base, base_length) != 0 ||
      std::strncmp(name + base_length, temporary_infix, infix_length) != 0) {
    return false;
  }
  const char* const digits = name + base_length + infix_length;
  for (size_t i = 0; i < 17; ++i) {
    const char c = digits[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (i == 8 ? c != '-' : !hex) return false;
  }
  return true;
}

}  // namespace

// What dead runs leave: an empty file from a run killed the instant it made
// one, before it could mark it, any from a power cut, which no mark
// survives, or a hard link of a relink killed before its rename. Runs on one
// tree take turns, and a live run's copy is open to no one else, so only
// leftovers go. Only plain files of the exact name shape are taken, never a
// directory or a link.
void remove_leftovers(const char* link_name, char* pattern, char* end) {
  static char leftover[longest_path];
  *end = '*';
  end[1] = '\0';
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  const char* const slash = std::max(std::strrchr(link_name, '/'), std::strrchr(link_name, '\\'));
  const size_t directory = slash == nullptr ? 0 : static_cast<size_t>(slash + 1 - link_name);
  constexpr DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  do {
    if ((found.dwFileAttributes & not_plain) != 0 ||
        !temporary_name_of(found.cFileName, link_name + directory,
                           std::strlen(link_name) - directory) ||
        directory + std::strlen(found.cFileName) >= sizeof leftover) {
      continue;
    }
    std::copy(found.cFileName, found.cFileName + std::strlen(found.cFileName) + 1,
              std::copy(link_name, link_name + directory, leftover));
    DeleteFileA(leftover);
  } while (FindNextFileA(search, &found) != FALSE);
  FindClose(search);
}

namespace {

// Makes the copy under a temporary name beside link_name that says whose it
// is, marked for deletion from the start, and names it only once it is
// complete and flushed. A name once given is never taken back for what
// follows: the read-only attribute, which must come last.
bool copy_beside(HANDLE from, const BY_HANDLE_FILE_INFORMATION& source, const char* link_name,
                 bool replacing) {
  const ULONGLONG size = (ULONGLONG{source.nFileSizeHigh} << 32) | source.nFileSizeLow;
  static char temporary_name[longest_path];
  const size_t length = std::strlen(link_name);
  if (length + sizeof temporary_infix + 18 > sizeof temporary_name) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  char* const named = std::copy(link_name, link_name + length, temporary_name);
  char* const owner =
      std::copy(temporary_infix, temporary_infix + sizeof temporary_infix - 1, named);
  remove_leftovers(link_name, temporary_name, owner);
  char* const count = put_hex(owner, GetCurrentProcessId());
  HANDLE to = INVALID_HANDLE_VALUE;
  for (DWORD attempt = 0; to == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    *count = '-';
    *put_hex(count + 1, attempt) = '\0';
    to = CreateFileA(temporary_name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (to == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (to == INVALID_HANDLE_VALUE) return false;
  bool made =
      mark_for_deletion(to, true) && copy_bytes(from, to, size) && FlushFileBuffers(to) != FALSE;
  if (made) carry_over(to, source, false);
  made = made && publish(to, link_name, replacing);
  const DWORD error = GetLastError();
  if (made && (source.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
    carry_over(to, source, true);
  if (!made) mark_for_deletion(to, true);
  CloseHandle(to);
  // Where the file system refused the mark itself, the name is removed instead.
  if (!made) DeleteFileA(temporary_name);
  SetLastError(error);
  return made;
}

}  // namespace

bool copy_to_new_name(const char* target, const char* link_name, bool over_old_name) {
  // Others may read the target meanwhile, but none may write it; one that
  // holds it refusing that is waited for.
  HANDLE from = INVALID_HANDLE_VALUE;
  if (!unless_held(target, [&] {
        from = CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        return from != INVALID_HANDLE_VALUE;
      })) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION source{};
  bool copied = false;
  if (GetFileInformationByHandle(from, &source) != FALSE) {
    // An existing name fails the copy before a byte is written, unless an
    // old file there is to be replaced.
    const DWORD existing = GetFileAttributesA(link_name);
    const bool replacing = existing != INVALID_FILE_ATTRIBUTES && over_old_name &&
                           (existing & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (existing != INVALID_FILE_ATTRIBUTES && !replacing) {
      SetLastError(ERROR_FILE_EXISTS);
    } else {
      copied = copy_beside(from, source, link_name, replacing);
    }
  }
  close_keeping_error(from);
  return copied;
}
