// The escapes of string literals: which bytes need one, what a one-letter
// escape stands for, and the shortest escape of a byte.
//
// Thread safety: pure functions.

#pragma once

#include <algorithm>

#include "json/string_runs.h"

namespace vennu::json {

// The writers below write through a raw pointer into room their caller made
// and return the end of what they wrote.

inline bool needs_escape(unsigned char c) { return ends_run<RunEnd::kWriting>(c); }

// The byte a one-letter escape stands for (\" \\ \/ \b \f \n \r \t), or -1
// for any other letter.
constexpr int short_escape_byte(char letter) {
  // clang-format off
  switch (letter) {
    case '"': case '\\': case '/': return letter;
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return -1;
  }
  // clang-format on
}

// The shortest escape of a byte that needs one. At most 6 bytes.
inline char* write_escape(char* out, unsigned char c) {
  char shorthand = 0;
  // clang-format off
  switch (c) {
    case '"': shorthand = '"'; break;
    case '\\': shorthand = '\\'; break;
    case '\b': shorthand = 'b'; break;
    case '\t': shorthand = 't'; break;
    case '\n': shorthand = 'n'; break;
    case '\f': shorthand = 'f'; break;
    case '\r': shorthand = 'r'; break;
    default: {
      static constexpr char kHex[] = "0123456789abcdef";
      const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      return std::copy_n(escape, sizeof escape, out);
    }
  }
  // clang-format on
  out[0] = '\\';
  out[1] = shorthand;
  return out + 2;
}

}  // namespace vennu::json
