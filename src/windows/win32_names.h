// The names the tool gives Windows objects: hexadecimal digits for the tree
// lock's mutex and the temporary files beside a name, and how long a path
// may grow.
#pragma once

#include <windows.h>

// Writes value as eight hexadecimal digits at text; answers where they end.
inline char* put_hex(char* text, DWORD value) {
  for (int shift = 28; shift >= 0; shift -= 4) *text++ = "0123456789abcdef"[(value >> shift) & 15];
  return text;
}

constexpr DWORD longest_path = 32768;  // in characters, long paths included

// What a temporary file's name says after the name it stands beside: whose
// it is. Then come the process id and a count, in hexadecimal, with a "-".
constexpr char temporary_infix[] = ".link-installer-";
