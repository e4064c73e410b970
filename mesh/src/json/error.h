// A failure of a JSON reader, and where in the text it was found.
//
// Thread safety: plain data.

#pragma once

#include <cstddef>
#include <string>

namespace vennu::json {

// A reader or writer failure. line is 0 when no position is known; lines
// split on '\n' and columns count bytes.
struct Error {
  std::string message;
  std::size_t line = 0;
  std::size_t column = 0;

  // The message, then " at line L column C" when a position is known.
  std::string text() const {
    if (line == 0) return message;
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
  }
};

}  // namespace vennu::json
