// One message to a stream, put together from its pieces.
#include "message.h"

#include <cstring>

#include "platform.h"

void say(std::FILE* stream, std::initializer_list<std::string_view> pieces) {
  // One buffer for every message: the tool says one thing at a time, and a
  // growing string would bring the C++ library's exceptions into the Windows
  // executable, half again its size. A message longer than the buffer goes
  // out in more than one write, each made of whole pieces.
  static char text[8192];
  size_t used = 0;
  for (const std::string_view piece : pieces) {
    if (used + piece.size() > sizeof text) {
      if (used > 0) write_text(stream, {text, used});
      used = 0;
      if (piece.size() > sizeof text) {
        write_text(stream, piece);
        continue;
      }
    }
    std::memcpy(text + used, piece.data(), piece.size());
    used += piece.size();
  }
  if (used > 0) write_text(stream, {text, used});
}
