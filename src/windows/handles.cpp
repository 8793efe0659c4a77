// Small calls on Windows file handles; see handles.h.
#include "windows/handles.h"

void close_keeping_error(HANDLE handle) {
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
}

bool mark_for_deletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(marked)};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         FALSE;
}
