// ConstText: text put together when compiling (a qualified name, a message, a docstring).
#pragma once

#include <cstddef>

namespace lm {

// For constexpr variables only: there, writing past its room does not
// compile.
struct ConstText {
  char s[256] = {};
  std::size_t len = 0;

  constexpr ConstText& operator<<(const char* text) {
    while (*text) s[len++] = *text++;
    s[len] = '\0';
    return *this;
  }
};

}  // namespace lm
