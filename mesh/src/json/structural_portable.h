// The portable structural index kernel: eight 64-bit words a block, on
// every machine and either byte order. Included by structural_index.cpp
// only.
//
// Thread safety: pure functions.

#pragma once

#include <bit>
#include <cstdint>

#include "base/byte_words.h"
#include "json/structural_steps.h"

namespace vennu::json::structural {

// The 8 bytes at p with the first in the low byte, on either byte order.
inline std::uint64_t load_memory_order(const char* p) {
  const std::uint64_t word = load_word(p);
  if constexpr (std::endian::native == std::endian::little) {
    return word;
  } else {
    return byte_swap(word);
  }
}

// The high bit of each byte of word that equals c.
constexpr std::uint64_t bytes_equal(std::uint64_t word, unsigned char c) {
  return bytes_below(word ^ (kEachByte * c), 1);
}

// The high bits of a word's bytes gathered into its low 8 bits, byte 0
// lowest: each lands in the top byte through one multiplication.
constexpr std::uint64_t gather_high_bits(std::uint64_t flags) {
  return (flags * 0x0002040810204081) >> 56;
}
static_assert(gather_high_bits(0x8000000000000080) == 0x81);

inline RawMasks classify_portable(const char* block) {
  RawMasks raw{0, 0, 0, 0};
  for (unsigned i = 0; i < 8; ++i) {
    const std::uint64_t word = load_memory_order(block + 8 * i);
    // '[' and ']' differ from '{' and '}' in bit 5 only.
    const std::uint64_t folded = word | kEachByte * 0x20;
    const unsigned shift = 8 * i;
    raw.quotes |= gather_high_bits(bytes_equal(word, '"')) << shift;
    raw.backslashes |= gather_high_bits(bytes_equal(word, '\\')) << shift;
    raw.structurals |= gather_high_bits(bytes_equal(folded, '{') | bytes_equal(folded, '}') |
                                        bytes_equal(word, ',') | bytes_equal(word, ':'))
                       << shift;
    raw.whitespace |= gather_high_bits(bytes_equal(word, ' ') | bytes_equal(word, '\t') |
                                       bytes_equal(word, '\n') | bytes_equal(word, '\r'))
                      << shift;
  }
  return raw;
}

}  // namespace vennu::json::structural
