// The steps every structural index kernel shares once it has classified a
// block's bytes: escapes, string insides and token starts, on 64-bit masks
// only, so that they inline into each kernel's loop whatever instructions
// the kernel is compiled for. Included by the kernels only.
//
// Thread safety: pure functions.

#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "json/structural_index.h"

namespace vennu::json::structural {

// A block's bytes by class, before escapes and strings are known.
struct RawMasks {
  std::uint64_t quotes;
  std::uint64_t backslashes;
  std::uint64_t structurals;
  std::uint64_t whitespace;
};

// Each bit the XOR of itself and every bit below it.
[[gnu::always_inline]] inline std::uint64_t prefix_xor_by_shifts(std::uint64_t bits) {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  bits ^= bits << 16;
  bits ^= bits << 32;
  return bits;
}

// The bytes escaped by a backslash: those after an odd run of backslashes,
// runs being counted across blocks. A run that starts on an even bit and
// one that starts on an odd bit end on bits of opposite parity when odd in
// length, which one addition finds for every run at once.
[[gnu::always_inline]] inline std::uint64_t escaped_bytes(std::uint64_t backslashes,
                                                          std::uint64_t& carry) {
  constexpr std::uint64_t kEvenBits = 0x5555555555555555;
  backslashes &= ~carry;
  const std::uint64_t follows_backslash = backslashes << 1 | carry;
  const std::uint64_t odd_starts = backslashes & ~kEvenBits & ~follows_backslash;
  const std::uint64_t sum = odd_starts + backslashes;
  carry = sum < odd_starts ? 1 : 0;
  const std::uint64_t even_started = sum << 1;
  return (kEvenBits ^ even_started) & follows_backslash;
}

// The quotes of a block that no backslash escapes.
[[gnu::always_inline]] inline std::uint64_t unescaped_quotes(const RawMasks& raw,
                                                             IndexCarry& carry) {
  return raw.quotes & ~escaped_bytes(raw.backslashes, carry.escaped);
}

// Finishes a block from its raw masks, its unescaped quotes and their
// prefix XOR (the kernel's own), and stores its results. Returns how many
// offsets it wrote.
[[gnu::always_inline]] inline std::size_t finish_block(const RawMasks& raw, std::uint64_t quotes,
                                                       std::uint64_t quotes_prefix_xor,
                                                       IndexCarry& carry, std::size_t base,
                                                       std::size_t* positions, BlockMasks* masks) {
  const std::uint64_t in_string = quotes_prefix_xor ^ carry.in_string;
  carry.in_string = 0 - (in_string >> 63);
  // Inside a string, its closing quote included.
  const std::uint64_t string_tail = in_string ^ quotes;
  const std::uint64_t scalar = ~(raw.structurals | raw.whitespace);
  const std::uint64_t plain_scalar = scalar & ~quotes;
  const std::uint64_t follows_plain = plain_scalar << 1 | carry.scalar_tail;
  carry.scalar_tail = plain_scalar >> 63;
  const std::uint64_t starts = (raw.structurals | (scalar & ~follows_plain)) & ~string_tail;
  if (masks != nullptr) {
    *masks = {quotes,    raw.backslashes, raw.structurals & ~in_string, raw.whitespace & ~in_string,
              in_string, starts};
  }
  std::size_t n = 0;
  for (std::uint64_t bits = starts; bits != 0; bits &= bits - 1) {
    positions[n++] = base + static_cast<std::size_t>(std::countr_zero(bits));
  }
  return n;
}

// The loop of a kernel that needs no instructions beyond the build's own
// and finds string insides by shifts.
template <RawMasks (*kClassify)(const char*)>
std::size_t run_blocks(const char* blocks, std::size_t count, IndexCarry& carry, std::size_t base,
                       std::size_t* positions, BlockMasks* masks) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < count; ++i, blocks += kIndexBlock, base += kIndexBlock) {
    const RawMasks raw = kClassify(blocks);
    const std::uint64_t quotes = unescaped_quotes(raw, carry);
    written += finish_block(raw, quotes, prefix_xor_by_shifts(quotes), carry, base,
                            positions + written, masks == nullptr ? nullptr : masks + i);
  }
  return written;
}

}  // namespace vennu::json::structural
