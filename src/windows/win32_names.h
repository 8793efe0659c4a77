// Hexadecimal digits for the names the tool gives Windows objects: the tree
// lock's mutex and the copies' temporary files.
#pragma once

#include <windows.h>

// Writes value as eight hexadecimal digits at text; answers where they end.
inline char* put_hex(char* text, DWORD value) {
  for (int shift = 28; shift >= 0; shift -= 4) *text++ = "0123456789abcdef"[(value >> shift) & 15];
  return text;
}
