// The plain runs of string literals: where a run of bytes that need no
// escape and no check ends, 16 bytes at a time where SSE2 or NEON is there
// and a word at a time elsewhere.
//
// A function given [p, end) reads nothing outside it, and one given a single
// pointer reads only the bytes its comment names.
//
// Thread safety: pure functions.

#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "base/byte_blocks.h"
#include "base/byte_words.h"

namespace vennu::json {

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

}  // namespace vennu::json
