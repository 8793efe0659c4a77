// One message to a stream, put together from its pieces.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string_view>

// Writes the pieces as one text, so that nothing written at the same time
// comes between them, and a console gets whole characters.
void say(std::FILE* stream, std::initializer_list<std::string_view> pieces);
