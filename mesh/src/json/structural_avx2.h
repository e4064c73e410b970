// The AVX2 structural index kernel: two 32-byte vectors a block, and the
// string insides by one carry-less multiplication. Its functions are
// compiled for AVX2, PCLMULQDQ and BMI whatever the build's own target (the
// wheels are built for baseline x86-64), so nothing may call them unless
// the processor and the system support those (structural_index.cpp checks).
// Included by structural_index.cpp only, where MESH_INDEX_AVX2 is set.
//
// Thread safety: pure functions.

#pragma once

#include <immintrin.h>

#include <cstdint>

#include "json/structural_steps.h"

#if defined(_MSC_VER) && !defined(__clang__)
#define MESH_TARGET_AVX2
#else
#define MESH_TARGET_AVX2 __attribute__((target("avx2,pclmul,bmi,bmi2")))
#endif

namespace vennu::json::structural {

MESH_TARGET_AVX2 inline std::uint64_t avx2_mask(__m256i low, __m256i high) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(low))) |
         static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high))) << 32;
}

MESH_TARGET_AVX2 inline __m256i avx2_equal(__m256i bytes, char c) {
  return _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(c));
}

MESH_TARGET_AVX2 inline __m256i avx2_structurals(__m256i bytes) {
  // '[' and ']' differ from '{' and '}' in bit 5 only.
  const __m256i folded = _mm256_or_si256(bytes, _mm256_set1_epi8(0x20));
  return _mm256_or_si256(_mm256_or_si256(avx2_equal(folded, '{'), avx2_equal(folded, '}')),
                         _mm256_or_si256(avx2_equal(bytes, ','), avx2_equal(bytes, ':')));
}

MESH_TARGET_AVX2 inline __m256i avx2_whitespace(__m256i bytes) {
  return _mm256_or_si256(_mm256_or_si256(avx2_equal(bytes, ' '), avx2_equal(bytes, '\t')),
                         _mm256_or_si256(avx2_equal(bytes, '\n'), avx2_equal(bytes, '\r')));
}

MESH_TARGET_AVX2 inline RawMasks classify_avx2(const char* block) {
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));
  return {avx2_mask(avx2_equal(low, '"'), avx2_equal(high, '"')),
          avx2_mask(avx2_equal(low, '\\'), avx2_equal(high, '\\')),
          avx2_mask(avx2_structurals(low), avx2_structurals(high)),
          avx2_mask(avx2_whitespace(low), avx2_whitespace(high))};
}

// Multiplying by all ones without carries XORs each bit into every bit above.
MESH_TARGET_AVX2 inline std::uint64_t prefix_xor_clmul(std::uint64_t bits) {
  const __m128i product = _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(bits)),
                                               _mm_set1_epi8(static_cast<char>(0xFF)), 0);
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
}

MESH_TARGET_AVX2 inline std::size_t index_blocks_avx2(const char* blocks, std::size_t count,
                                                      IndexCarry& carry, std::size_t base,
                                                      std::size_t* positions, BlockMasks* masks) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < count; ++i, blocks += kIndexBlock, base += kIndexBlock) {
    const RawMasks raw = classify_avx2(blocks);
    const std::uint64_t quotes = unescaped_quotes(raw, carry);
    written += finish_block(raw, quotes, prefix_xor_clmul(quotes), carry, base, positions + written,
                            masks == nullptr ? nullptr : masks + i);
  }
  return written;
}

}  // namespace vennu::json::structural
