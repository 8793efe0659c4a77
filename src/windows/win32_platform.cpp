// The Windows platform's small calls, with their own Win32 arguments: the
// directory change, the tree lock, the probes, delete and hard link, the
// error texts, the usage switch and the wildcards. The copy is copy.cpp's.
#include <direct.h>
#include <windows.h>

#include <cstring>
#include <iterator>
#include <string>

#include "platform.h"
#include "windows/copy.h"
#include "windows/handles.h"
#include "windows/held_open.h"
#include "windows/win32_names.h"

// The runtime expands wildcards in the arguments before main sees them, so a
// tree root typed as a pattern that matches one directory works. MinGW-w64
// leaves this off unless the program asks for it.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's name
int _dowildcard = -1;

namespace {

// No access rights and no backup semantics: any file opens, a directory never does.
HANDLE open_without_rights(const char* path, DWORD flags) {
  return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

// Reads which file handle is, and closes it at once, keeping a failure's error.
bool identify(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) {
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(handle, &information) != FALSE;
  close_keeping_error(handle);
  return known;
}

class win32_platform final : public platform {
 public:
  bool change_directory(const char* path) override { return _chdir(path) != -1; }

  // Windows has no such switch; the manifest keeps the tool from being elevated unasked.
  owner_change become_tree_owner() override { return owner_change::done; }
  bool safe_paths(const char* /*link_name*/, const char* /*target*/) override { return true; }

  lock_result lock_tree(unsigned milliseconds) override {
    if (tree_lock_ != nullptr) {
      ReleaseMutex(tree_lock_);
      CloseHandle(tree_lock_);
      tree_lock_ = nullptr;
    }
    // Named by the tree root's volume and file index, so that every spelling
    // of the path meets the same lock. A holder that dies abandons it, and
    // the next run takes it over. Only a file system that gives the directory
    // no identity goes without a lock; any other failure stops the run, as
    // runs that cannot take turns could undo each other's names.
    BY_HANDLE_FILE_INFORMATION root{};
    const HANDLE directory =
        CreateFileA(".", 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return lock_result::failed;
    if (!identify(directory, root)) {
      const DWORD error = GetLastError();
      const bool no_identity = error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                               error == ERROR_INVALID_PARAMETER;
      return no_identity ? lock_result::go_on : lock_result::failed;
    }
    if (root.nFileIndexHigh == 0 && root.nFileIndexLow == 0) return lock_result::go_on;
    char name[64] = "Global\\link-installer";
    char* end = name + std::strlen(name);
    for (const DWORD part : {root.dwVolumeSerialNumber, root.nFileIndexHigh, root.nFileIndexLow}) {
      *end++ = '-';
      end = put_hex(end, part);
    }
    *end = '\0';
    // Another object under the name (ERROR_INVALID_HANDLE), or an elevated
    // run's mutex (ERROR_ACCESS_DENIED), is no lock to be had.
    tree_lock_ = CreateMutexA(nullptr, FALSE, name);
    if (tree_lock_ == nullptr) return lock_result::failed;
    switch (WaitForSingleObject(tree_lock_, milliseconds)) {
      case WAIT_OBJECT_0:
      case WAIT_ABANDONED:
        return lock_result::go_on;
      case WAIT_TIMEOUT:
        return lock_result::busy;
      default:
        return lock_result::failed;
    }
  }

  bool file_present(const char* path) override {
    const HANDLE handle = open_without_rights(path, 0);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
  }

  // A named pipe or device has no place in a tree; only files on a disk count.
  bool regular_file(const char* path) override {
    const HANDLE handle = open_without_rights(path, 0);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool on_disk = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    return on_disk;
  }

  bool same_file(const char* link_name, const char* target) override {
    BY_HANDLE_FILE_INFORMATION name{};
    BY_HANDLE_FILE_INFORMATION file{};
    // Both are followed through links, as the probe opens a target.
    return identify(open_without_rights(link_name, 0), name) &&
           identify(open_without_rights(target, 0), file) &&
           name.dwVolumeSerialNumber == file.dwVolumeSerialNumber &&
           name.nFileIndexHigh == file.nFileIndexHigh && name.nFileIndexLow == file.nFileIndexLow;
  }

  bool delete_file(const char* path) override {
    if (delete_at_once(path)) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }

  bool create_hard_link(const char* link_name, const char* target) override {
    return CreateHardLinkA(link_name, target, nullptr) != FALSE;
  }

  replaced replace_by_hard_link(const char* link_name, const char* target) override {
    if (!regular_file(link_name) || !regular_file(target)) return replaced::not_replaced;
    return replace_by_hard_link_beside(link_name, target);
  }

  bool same_copy(const char* target, const char* link_name) override {
    return same_copy_of(target, link_name);
  }

  bool copy_file(const char* target, const char* link_name, bool over_old_name) override {
    return copy_to_new_name(target, link_name, over_old_name);
  }

  error_code last_error() override { return GetLastError(); }

  std::string error_text(error_code code) override {
    char* text = nullptr;
    // The buffer is the system's; it is copied and handed back at once.
    // Without FORMAT_MESSAGE_IGNORE_INSERTS a text such as "Bad EXE format for %1."
    // would read insert values that were never passed.
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
        nullptr);
    if (text == nullptr) return {};
    std::string copy = text;
    LocalFree(text);
    return copy;
  }

 private:
  HANDLE tree_lock_ = nullptr;  // the mutex held by lock_tree until the process ends
};

}  // namespace

platform& native_platform() {
  static win32_platform instance;
  return instance;
}

namespace {

// Past the program's name, which knows no escapes: up to its closing quote,
// or to the first blank; and past the blanks after it.
const wchar_t* past_program_name(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

// Whether the first argument is /? as the command line's own quoting rules
// read it. The runtime expands the argument vector's copy as a wildcard,
// quoted or not, into any one-character name in the drive's root, which
// could then be taken for a tree.
bool typed_slash_question() {
  const wchar_t* line = past_program_name(GetCommandLineW());
  // Quotes group blanks and vanish. Backslashes count only before a quote:
  // each pair gives one, and an odd one makes the quote a character. Two
  // quotes inside quotes give one, as the runtime reads them. Only the first
  // three characters are kept: enough to tell /? from all else.
  wchar_t argument[3]{};
  size_t length = 0;
  const auto add = [&](wchar_t character, size_t count) {
    for (; count > 0; --count, ++length) {
      if (length < std::size(argument)) argument[length] = character;
    }
  };
  bool quoted = false;
  while (*line != L'\0' && (quoted || (*line != L' ' && *line != L'\t'))) {
    const wchar_t* const backslashes = line;
    while (*line == L'\\') ++line;
    const auto count = static_cast<size_t>(line - backslashes);
    if (*line != L'"') {
      add(L'\\', count);
      if (count == 0) add(*line++, 1);
      continue;
    }
    add(L'\\', count / 2);
    const bool escaped = count % 2 == 1;
    const bool doubled = !escaped && quoted && line[1] == L'"';
    if (escaped || doubled) {
      add(L'"', 1);
    } else {
      quoted = !quoted;
    }
    line += doubled ? 2 : 1;
  }
  return length == 2 && argument[0] == L'/' && argument[1] == L'?';
}

}  // namespace

bool asks_for_help(const char* argument) {
  return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 ||
         std::strcmp(argument, "/?") == 0 || typed_slash_question();
}
