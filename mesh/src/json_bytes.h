// Byte-level helpers of the JSON unit, shared with text_shape.cpp: loads of
// 8-byte words and byte-parallel tests on them, the ends of plain runs in
// string literals (16 bytes at a time where SSE2 or NEON is there), the UTF-8 lead
// table, the byte order of keys, the escapes and UTF-8 encodings a literal
// is written with, and a copy for the few bytes of a key or a number.
//
// Everything here is inline and works on bytes its caller has bounded: a
// function given [p, end) reads nothing outside it, and one given a single
// pointer reads only the bytes its comment names.
//
// Thread safety: pure functions and constant tables.

#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// 16-byte blocks: SSE2 on x86-64 (and x86 builds that enable it), NEON on
// little-endian AArch64; elsewhere words of 8 bytes.
#if defined(__SSE2__) || defined(_M_X64)
#define MESH_HAVE_SSE2 1
#include <emmintrin.h>
#elif (defined(__aarch64__) && defined(__ARM_NEON) && defined(__BYTE_ORDER__) && \
       __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ||                             \
    defined(_M_ARM64)
#define MESH_HAVE_NEON 1
#include <arm_neon.h>
#endif

namespace vennu::json {

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

// Plain runs in string literals. A run ends at a quote, a backslash or a
// control character; when reading, also at a byte from 0x80 up, which is
// checked as UTF-8 and then carried like the rest of the run.
enum class RunEnd : bool { kWriting, kReading };

template <RunEnd kMode>
bool ends_run(unsigned char c) {
  return c < 0x20 || c == '"' || c == '\\' || (kMode == RunEnd::kReading && c >= 0x80);
}

template <RunEnd kMode>
std::uint64_t word_run_ends(std::uint64_t word) {
  std::uint64_t ends = bytes_below(word, 0x20) | bytes_below(word ^ (kEachByte * '"'), 1) |
                       bytes_below(word ^ (kEachByte * '\\'), 1);
  if constexpr (kMode == RunEnd::kReading) ends |= word & kHighBits;
  return ends;
}

// Which of the 16 bytes at p end a run: kBitsPerByte bits for each, in
// memory order from the low end of the mask (as every block_mask).
#if defined(MESH_HAVE_SSE2)
using BlockMask = unsigned;
inline constexpr unsigned kBitsPerByte = 1;

// The mask of a block of byte flags (0xFF or 0 each).
inline BlockMask block_mask(__m128i flags) {
  return static_cast<unsigned>(_mm_movemask_epi8(flags));
}

template <RunEnd kMode>
BlockMask run_end_mask(const char* p) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                              _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
  if constexpr (kMode == RunEnd::kReading) {
    // As signed bytes, those from 0x80 up are negative: below 0x20 as well.
    ends = _mm_or_si128(ends, _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)));
  } else {
    ends = _mm_or_si128(ends, _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1F)), bytes));
  }
  return block_mask(ends);
}
#elif defined(MESH_HAVE_NEON)
using BlockMask = std::uint64_t;
inline constexpr unsigned kBitsPerByte = 4;

// The mask of a block of byte flags (0xFF or 0 each). NEON has no byte
// mask: narrowing each pair of bytes by a 4-bit shift leaves 4 bits per byte.
inline BlockMask block_mask(uint8x16_t flags) {
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(flags), 4)), 0);
}

template <RunEnd kMode>
BlockMask run_end_mask(const char* p) {
  const uint8x16_t bytes = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p));
  uint8x16_t ends = vorrq_u8(vceqq_u8(bytes, vdupq_n_u8('"')), vceqq_u8(bytes, vdupq_n_u8('\\')));
  if constexpr (kMode == RunEnd::kReading) {
    // Below 0x20 or from 0x80 up: 0x60 or more once 0x20 is taken off.
    ends = vorrq_u8(ends, vcgeq_u8(vsubq_u8(bytes, vdupq_n_u8(0x20)), vdupq_n_u8(0x60)));
  } else {
    ends = vorrq_u8(ends, vcltq_u8(bytes, vdupq_n_u8(0x20)));
  }
  return block_mask(ends);
}
#endif

// Most strings are short: the run of one that ends within kShortRun bytes
// is found with a single block (or word) read, without find_run_end's loop.
#if defined(MESH_HAVE_SSE2) || defined(MESH_HAVE_NEON)
inline constexpr std::size_t kShortRun = 16;
#else
inline constexpr std::size_t kShortRun = 8;
#endif

// The length of the plain run at p if it ends within the kShortRun bytes
// at p, which must all be readable; kShortRun if it goes on past them.
template <RunEnd kMode>
inline std::size_t short_run_length(const char* p) {
#if defined(MESH_HAVE_SSE2) || defined(MESH_HAVE_NEON)
  const BlockMask mask = run_end_mask<kMode>(p);
  return mask == 0 ? kShortRun : static_cast<std::size_t>(std::countr_zero(mask)) / kBitsPerByte;
#else
  const std::uint64_t ends = word_run_ends<kMode>(load_word(p));
  return ends == 0 ? kShortRun : static_cast<std::size_t>(first_flagged_byte(ends));
#endif
}

// The end of the plain run starting at p, in text that is readable from
// begin (at most p) to end: 16 bytes at a time where SSE2 or NEON is there,
// and the last few by looking at the text's last 16 bytes when there are
// that many (short strings mostly end there); elsewhere, and in shorter
// texts, a word at a time, then byte by byte near the end.
template <RunEnd kMode>
inline const char* find_run_end(const char* p, const char* end, const char* begin) {
#if defined(MESH_HAVE_SSE2) || defined(MESH_HAVE_NEON)
  for (; end - p >= 16; p += 16) {
    if (const std::size_t plain = short_run_length<kMode>(p); plain != kShortRun) return p + plain;
  }
  if (p != end && end - begin >= 16) {
    // The flags of the bytes before p, already passed, are shifted out.
    const auto passed = static_cast<unsigned>(16 - (end - p));
    const BlockMask mask = run_end_mask<kMode>(end - 16) >> (passed * kBitsPerByte);
    return mask == 0 ? end : p + std::countr_zero(mask) / kBitsPerByte;
  }
#else
  (void)begin;
#endif
  for (; end - p >= 8; p += 8) {
    if (const std::uint64_t ends = word_run_ends<kMode>(load_word(p))) {
      return p + first_flagged_byte(ends);
    }
  }
  while (p != end && !ends_run<kMode>(static_cast<unsigned char>(*p))) ++p;
  return p;
}

template <RunEnd kMode>
inline const char* find_run_end(const char* p, const char* end) {
  return find_run_end<kMode>(p, end, p);
}

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
