// Holds a file open for a while, as a virus scanner, an indexer or an editor
// does, for the Windows end-to-end tests: says "held" once it has the file.
// Usage: file-holder PATH MILLISECONDS read|none|all|map [AWAITED]
// read, none and all say what its handle shares; map keeps a view of the
// file with every handle closed, as a viewer does. With AWAITED, a wildcard,
// it says "ready" and takes PATH only once a name matches AWAITED, trying
// until it gets it, as a scanner does that reacts to a new name.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  const bool map = std::strcmp(argv[3], "map") == 0;
  const DWORD share = std::strcmp(argv[3], "read") == 0 || map ? FILE_SHARE_READ
                      : std::strcmp(argv[3], "all") == 0
                          ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                          : 0;
  const DWORD milliseconds = std::strtoul(argv[2], nullptr, 10);
  HANDLE file = INVALID_HANDLE_VALUE;
  if (argc == 5) {
    std::puts("ready");
    std::fflush(stdout);
    WIN32_FIND_DATAA found;
    HANDLE search;
    while ((search = FindFirstFileA(argv[4], &found)) == INVALID_HANDLE_VALUE) Sleep(1);
    FindClose(search);
    for (DWORD tried = 0; file == INVALID_HANDLE_VALUE && tried < milliseconds; ++tried) {
      file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) Sleep(1);
    }
  } else {
    file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return 1;
  const void* view = nullptr;
  if (map) {
    const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (mapping != nullptr) CloseHandle(mapping);
    CloseHandle(file);
    if (view == nullptr) return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  Sleep(milliseconds);
  if (map) UnmapViewOfFile(view);
  if (!map) CloseHandle(file);
  return 0;
}
