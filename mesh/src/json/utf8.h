// Well-formed UTF-8: what may follow each lead byte, and the form of a
// code point.
//
// Thread safety: pure functions and a constant table.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vennu::json {

// What may follow each lead byte of well-formed UTF-8: the number of
// continuation bytes and the range of the first one, which rules out
// overlong forms, surrogates and code points above U+10FFFF.
struct Utf8Lead {
  std::uint8_t continuations = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
};

constexpr std::array<Utf8Lead, 256> make_utf8_leads() {
  std::array<Utf8Lead, 256> leads{};
  for (std::size_t b = 0xC2; b <= 0xDF; ++b) leads[b].continuations = 1;
  for (std::size_t b = 0xE0; b <= 0xEF; ++b) leads[b].continuations = 2;
  for (std::size_t b = 0xF0; b <= 0xF4; ++b) leads[b].continuations = 3;
  leads[0xE0].low = 0xA0;
  leads[0xED].high = 0x9F;
  leads[0xF0].low = 0x90;
  leads[0xF4].high = 0x8F;
  return leads;
}
inline constexpr std::array<Utf8Lead, 256> kUtf8Leads = make_utf8_leads();

// The UTF-8 form of a code point. At most 4 bytes.
inline char* write_utf8(char* out, char32_t cp) {
  auto byte = [](char32_t b) { return static_cast<char>(static_cast<unsigned char>(b)); };
  if (cp < 0x80) {
    *out++ = byte(cp);
  } else if (cp < 0x800) {
    *out++ = byte(0xC0 | (cp >> 6));
    *out++ = byte(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = byte(0xE0 | (cp >> 12));
    *out++ = byte(0x80 | ((cp >> 6) & 0x3F));
    *out++ = byte(0x80 | (cp & 0x3F));
  } else {
    *out++ = byte(0xF0 | (cp >> 18));
    *out++ = byte(0x80 | ((cp >> 12) & 0x3F));
    *out++ = byte(0x80 | ((cp >> 6) & 0x3F));
    *out++ = byte(0x80 | (cp & 0x3F));
  }
  return out;
}

}  // namespace vennu::json
