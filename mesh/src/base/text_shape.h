// What a UTF-8 text needs to become a string of fixed-width code units:
// its length in code points and the width that holds its widest one.
//
// A string object of the interpreter is made at its final size from these,
// then filled by widen_utf8, so a text is never decoded twice. Both work on
// text that is valid UTF-8 (every text the mesh stores or writes is); on
// anything else the result is unspecified but stays within the buffers.
//
// Thread safety: plain functions on their arguments.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vennu {

// The code unit that holds every code point of a text: one byte up to
// U+007F (ASCII) or U+00FF (Latin-1), two up to U+FFFF, four beyond.
enum class CharWidth : std::uint8_t { kAscii, kLatin1, kTwoBytes, kFourBytes };

struct TextShape {
  std::size_t code_points = 0;
  CharWidth width = CharWidth::kAscii;

  // The largest code point the width admits: what a string of this shape
  // is created with.
  std::uint32_t max_char() const;
  // Bytes per code unit: 1, 1, 2 or 4.
  std::size_t unit_size() const;
};

TextShape shape_of(std::string_view utf8);

// Whether text is all ASCII, by a plain loop over its bytes: for the few
// bytes of a name, where measuring its shape costs more than the look.
inline bool is_ascii(std::string_view text) {
  unsigned char seen = 0;
  for (const char c : text) seen = static_cast<unsigned char>(seen | static_cast<unsigned char>(c));
  return seen < 0x80;
}

// The width of the code point whose UTF-8 sequence starts with lead (0xC2
// to 0xF4): the lead alone tells, so a reader that checks each sequence
// measures the text as it goes.
constexpr CharWidth width_of_utf8_lead(unsigned char lead) {
  if (lead < 0xC4) return CharWidth::kLatin1;
  return lead < 0xF0 ? CharWidth::kTwoBytes : CharWidth::kFourBytes;
}

// Writes the code points of utf8 as units of shape.width (which must be
// shape_of(utf8).width or wider) to out, which has room for
// shape.code_points of them (and may be null when that is 0).
void widen_utf8(std::string_view utf8, const TextShape& shape, void* out);

}  // namespace vennu
