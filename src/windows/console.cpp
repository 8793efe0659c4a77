// The messages' way onto a Windows console. A console reads bytes through its
// own code page (437, 850, 866 and the like), not the tool's, so there the
// characters themselves are written, as UTF-16. The code page stays the
// one the shell and the other programs on the console share. Files and pipes
// get the bytes as the runtime writes them: UTF-8 where the manifest's code
// page takes effect.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "platform.h"

namespace {

// Failed console writes, kept for text_delivered to report: the first of each
// of the few streams a run writes to. Fixed in size, as the copy's buffers
// are, so that no standard container comes into the executable.
struct lost_write {
  std::FILE* stream;
  DWORD error;
};
lost_write lost_writes[4]{};
size_t lost_count = 0;

// The failed write kept for stream, or nullptr while none has failed.
const lost_write* lost_on(const std::FILE* stream) {
  for (size_t i = 0; i < lost_count; ++i) {
    if (lost_writes[i].stream == stream) return &lost_writes[i];
  }
  return nullptr;
}

// The console that stream writes to, or nullptr for a file, a pipe or no handle.
HANDLE console_of(std::FILE* stream) {
  const int descriptor = _fileno(stream);
  if (descriptor < 0) return nullptr;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the runtime hands handles out as integers
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == FALSE) return nullptr;
  return handle;
}

bool write_all(HANDLE console, const wchar_t* text, size_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (WriteConsoleW(console, text, static_cast<DWORD>(length), &written, nullptr) == FALSE) {
      return false;
    }
    if (written == 0) {
      // Nothing taken and no error given: the report must not name a stale one.
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    text += written;
    length -= written;
  }
  return true;
}

// How many of text's first bytes, at most most, end on a whole character of
// code page: UTF-8 ends no character with a lead byte or before a trail byte;
// the two-byte pages (932, 936, 949, 950) are read from the start, as a trail
// byte can look like a lead byte.
size_t whole_characters(UINT code_page, std::string_view text, size_t most) {
  if (text.size() <= most) return text.size();
  if (code_page == CP_UTF8) {
    size_t count = most;
    while (count > 1 && (text[count] & 0xC0) == 0x80) --count;
    return count;
  }
  size_t count = 0;
  for (;;) {
    const size_t width = IsDBCSLeadByteEx(code_page, static_cast<BYTE>(text[count])) ? 2 : 1;
    if (count + width > most) return count == 0 ? most : count;
    count += width;
  }
}

// Writes text as UTF-16, each line ending in CR LF as a console's lines do.
// The text is in the code page the process runs in: UTF-8 where Windows took
// the manifest's word for it (10 version 1903 on), else the system's ANSI
// page, in which the C runtime hands over the arguments and FormatMessageA
// writes. A byte that does not decode shows as U+FFFD rather than losing the
// rest. In pieces of a bounded size, as older consoles refuse one write of
// more than 64 KiB, and never between the bytes of one character.
bool write_console(HANDLE console, std::string_view text) {
  constexpr size_t piece = 4096;
  // A byte gives at most one UTF-16 unit, and a LF may take a CR before it.
  static wchar_t decoded[piece];
  static wchar_t lines[2 * piece];
  const UINT code_page = GetACP();
  wchar_t previous = L'\0';
  while (!text.empty()) {
    const size_t count = whole_characters(code_page, text, piece);
    const int size = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(count),
                                         decoded, static_cast<int>(piece));
    size_t length = 0;
    for (int i = 0; i < size; ++i) {
      if (decoded[i] == L'\n' && previous != L'\r') lines[length++] = L'\r';
      previous = lines[length++] = decoded[i];
    }
    if (!write_all(console, lines, length)) return false;
    text.remove_prefix(count);
  }
  return true;
}

}  // namespace

void write_text(std::FILE* stream, std::string_view text) {
  // A report reads the error of the call before it: asking whether the stream
  // is a console must not replace it. A failed write leaves its own.
  const DWORD error = GetLastError();
  const HANDLE console = console_of(stream);
  SetLastError(error);
  if (console == nullptr) {
    std::fwrite(text.data(), 1, text.size(), stream);
    // The runtime buffers a standard error that is no console in full; a
    // reader of the pipe or file must see each message when it is written,
    // as on POSIX, and a run killed while it waits must not take them along.
    if (stream == stderr) std::fflush(stream);
    return;
  }
  // What the runtime may hold for the stream comes first, so lines keep their order.
  std::fflush(stream);
  if (!write_console(console, text)) {
    if (lost_on(stream) == nullptr && lost_count < std::size(lost_writes)) {
      lost_writes[lost_count++] = {stream, GetLastError()};
    }
    return;
  }
  SetLastError(error);
}

bool text_delivered(std::FILE* stream) {
  if (std::fflush(stream) != 0 || std::ferror(stream) != 0) return false;
  const lost_write* const lost = lost_on(stream);
  if (lost == nullptr) return true;
  SetLastError(lost->error);
  return false;
}
