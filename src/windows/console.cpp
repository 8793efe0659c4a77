// The messages' way onto a Windows console. A console reads bytes through its
// own code page (437, 850, 866 and the like), not the tool's UTF-8, so there
// the characters themselves are written, as UTF-16. The code page stays the
// one the shell and the other programs on the console share. Files and pipes
// get the UTF-8 bytes as the runtime writes them.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace {

// A console write that failed, kept for text_delivered to report.
struct lost_write {
  std::FILE* stream;
  DWORD error;
};
std::vector<lost_write> lost_writes;

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

// text as UTF-16, each line ending in CR LF as a console's lines do. A byte
// that is not UTF-8 shows as U+FFFD rather than losing the rest.
std::wstring console_text(std::string_view text) {
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring decoded(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, decoded.data(), size);
  std::wstring lines;
  lines.reserve(decoded.size() + 4);
  for (size_t i = 0; i < decoded.size(); ++i) {
    if (decoded[i] == L'\n' && (i == 0 || decoded[i - 1] != L'\r')) lines += L'\r';
    lines += decoded[i];
  }
  return lines;
}

bool write_console(HANDLE console, const std::wstring& text) {
  // In bounded pieces, as older consoles refuse one write of more than 64 KiB,
  // and never between the two halves of a character beyond U+FFFF.
  constexpr size_t piece = 8192;
  for (size_t start = 0; start < text.size();) {
    size_t count = std::min(piece, text.size() - start);
    if (start + count < text.size() && IS_HIGH_SURROGATE(text[start + count - 1])) --count;
    DWORD written = 0;
    if (WriteConsoleW(console, text.data() + start, static_cast<DWORD>(count), &written, nullptr) ==
        FALSE) {
      return false;
    }
    if (written == 0) {
      // Nothing taken and no error given: the report must not name a stale one.
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    start += written;
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
    return;
  }
  if (text.empty()) return;
  // What the runtime may hold for the stream comes first, so lines keep their order.
  std::fflush(stream);
  if (!write_console(console, console_text(text))) {
    lost_writes.push_back({stream, GetLastError()});
    return;
  }
  SetLastError(error);
}

bool text_delivered(std::FILE* stream) {
  if (std::fflush(stream) != 0 || std::ferror(stream) != 0) return false;
  const auto lost =
      std::find_if(lost_writes.begin(), lost_writes.end(),
                   [stream](const lost_write& write) { return write.stream == stream; });
  if (lost == lost_writes.end()) return true;
  SetLastError(lost->error);
  return false;
}
