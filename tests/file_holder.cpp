// Holds a file open for a while, as a virus scanner, an indexer or an editor
// does, for the Windows end-to-end tests: says "held" once it has the file.
// Usage: file-holder PATH MILLISECONDS read|none|all (what it shares)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const DWORD share = std::strcmp(argv[3], "read") == 0 ? FILE_SHARE_READ
                      : std::strcmp(argv[3], "all") == 0
                          ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                          : 0;
  const HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::puts("held");
  std::fflush(stdout);
  Sleep(std::strtoul(argv[2], nullptr, 10));
  CloseHandle(file);
  return 0;
}
