// One message to a stream, put together from its pieces.
#include "message.h"

#include <string>

#include "platform.h"

void say(std::FILE* stream, std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (const std::string_view piece : pieces) text += piece;
  write_text(stream, text);
}
