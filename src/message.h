// One message to a stream, put together from its pieces.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string_view>

// Writes the pieces as one text, so that nothing written at the same time
// comes between them, and a console gets whole characters.
void say(std::FILE* stream, std::initializer_list<std::string_view> pieces);

// A number's decimal digits, as a piece of a message.
class decimal {
 public:
  explicit decimal(int value) : end_(std::to_chars(digits_, digits_ + sizeof digits_, value).ptr) {}
  // NOLINTNEXTLINE(google-explicit-constructor): a piece among the others
  operator std::string_view() const { return {digits_, static_cast<std::size_t>(end_ - digits_)}; }

 private:
  char digits_[12]{};  // "-2147483648" and one to spare
  char* end_;
};
