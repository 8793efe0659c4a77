// The platform layer on Windows: the Win32 calls themselves, with their own arguments.
#include <direct.h>
#include <windows.h>

#include "platform.h"

// The runtime expands wildcards in the arguments before main sees them, so a
// tree root typed as a pattern that matches one directory works. MinGW-w64
// leaves this off unless the program asks for it.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's name
int _dowildcard = -1;

namespace {

class win32_platform final : public platform {
 public:
  bool change_directory(const char* path) override { return _chdir(path) != -1; }

  bool file_present(const char* path) override {
    // No access rights and no backup semantics: any file opens, a directory never does.
    const HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
  }

  void delete_file(const char* path) override { DeleteFileA(path); }

  bool create_hard_link(const char* link_name, const char* target) override {
    return CreateHardLinkA(link_name, target, nullptr) != FALSE;
  }

  bool copy_file(const char* target, const char* link_name) override {
    return CopyFileA(target, link_name, TRUE) != FALSE;
  }

  error_code last_error() override { return GetLastError(); }

  std::string error_text(error_code code) override {
    char* text = nullptr;
    // The buffer is the system's; it is copied and handed back at once.
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
                   nullptr);
    if (text == nullptr) return {};
    std::string copy = text;
    LocalFree(text);
    return copy;
  }
};

}  // namespace

platform& native_platform() {
  static win32_platform instance;
  return instance;
}
