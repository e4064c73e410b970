// Shared by the tests and the fuzzers: whether an error position names a
// byte of the text (lines split on '\n', columns counting bytes from 1), or
// column 0 of a line, which is where a fault on a line feed itself lands.

#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace vennu {

inline bool position_inside(std::string_view text, std::size_t line, std::size_t column) {
  std::size_t line_start = 0;
  for (std::size_t n = 1; n < line; ++n) {
    line_start = text.find('\n', line_start);
    if (line_start == std::string_view::npos) return false;
    ++line_start;
  }
  const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
  return line >= 1 && column <= line_end - line_start;
}

}  // namespace vennu
