// Bytes a word at a time: loads of 8-byte words and byte-parallel tests on
// them, short copies, and the byte order of two texts.
//
// Everything here is inline and works on bytes its caller has bounded: a
// function given a single pointer reads only the bytes its comment names.
//
// Thread safety: pure functions.

#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vennu {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of a hexadecimal digit, or -1.
inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Byte-parallel tests on 64-bit words, for scanning 8 bytes at a time where
// SSE2 is not worth it or not there.
inline constexpr std::uint64_t kEachByte = 0x0101010101010101;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080;

// The high bit of each byte of word that is below bound (at most 0x80).
// No carry crosses a byte, so every flag is exact, not only the first.
constexpr std::uint64_t bytes_below(std::uint64_t word, unsigned bound) {
  return ~(((word & ~kHighBits) + kEachByte * (0x80 - bound)) | word) & kHighBits;
}

// The 8 bytes at p, in memory order.
inline std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The index, in memory order, of the first byte flagged in a loaded word.
inline int first_flagged_byte(std::uint64_t flags) {
  if constexpr (std::endian::native == std::endian::little) {
    return std::countr_zero(flags) / 8;
  } else {
    return std::countl_zero(flags) / 8;
  }
}

// How many bytes a word of high-bit flags flags: one multiplication sums
// the flags into the top byte, where std::popcount is a library call on a
// baseline x86-64 build (no POPCNT instruction assumed).
constexpr int count_flagged_bytes(std::uint64_t flags) {
  return static_cast<int>(((flags >> 7) * kEachByte) >> 56);
}
static_assert(count_flagged_bytes(kHighBits) == 8 && count_flagged_bytes(0x80) == 1);

// std::byteswap is C++23; compilers turn these shifts into one instruction.
constexpr std::uint64_t byte_swap(std::uint64_t word) {
  word = ((word & 0x00FF00FF00FF00FF) << 8) | ((word >> 8) & 0x00FF00FF00FF00FF);
  word = ((word & 0x0000FFFF0000FFFF) << 16) | ((word >> 16) & 0x0000FFFF0000FFFF);
  return (word << 32) | (word >> 32);
}
static_assert(byte_swap(0x0102030405060708) == 0x0807060504030201);

// Two overlapping moves of a word each way copy any size from one word to
// two.
template <class Word>
void copy_overlapping(char* to, const char* from, std::size_t size) {
  Word head;
  Word tail;
  std::memcpy(&head, from, sizeof head);
  std::memcpy(&tail, from + size - sizeof tail, sizeof tail);
  std::memcpy(to, &head, sizeof head);
  std::memcpy(to + size - sizeof tail, &tail, sizeof tail);
}

// memcpy without the call for the few bytes of a key, a number or a short
// string, where the call would cost more than the copy. Reads nothing when
// size is 0, so from may then be null. Always inlined: a call of its own
// would cost what it saves.
[[gnu::always_inline]] inline void copy_bytes(char* to, const char* from, std::size_t size) {
  if (size > 16) {
    std::memcpy(to, from, size);
  } else if (size >= 8) {
    copy_overlapping<std::uint64_t>(to, from, size);
  } else if (size >= 4) {
    copy_overlapping<std::uint32_t>(to, from, size);
  } else if (size != 0) {
    to[0] = from[0];
    to[size - 1] = from[size - 1];
    if (size == 3) to[1] = from[1];
  }
}

// Byte order of two texts. Keys are mostly short, and a loop the compiler
// can inline beats a call to memcmp for them.
inline int compare_bytes(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return static_cast<int>(a.size() > common) - static_cast<int>(b.size() > common);
}

// copy_bytes for pieces of at most kShortBytes, such as a timestamp's text,
// with two overlapping moves of 16 or 32 bytes each way above 16.
inline constexpr std::size_t kShortBytes = 64;
[[gnu::always_inline]] inline void copy_short_bytes(char* to, const char* from, std::size_t size) {
  struct Block16 {
    std::uint64_t words[2];
  };
  struct Block32 {
    std::uint64_t words[4];
  };
  if (size <= 16) {
    copy_bytes(to, from, size);
  } else if (size <= 32) {
    copy_overlapping<Block16>(to, from, size);
  } else {
    copy_overlapping<Block32>(to, from, size);
  }
}

}  // namespace vennu
