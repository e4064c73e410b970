// The SSE2 structural index kernel: four 16-byte vectors a block, on every
// x86-64 processor. Included by structural_index.cpp only, where
// MESH_INDEX_X86 is set.
//
// Thread safety: pure functions.

#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "json/structural_steps.h"

namespace vennu::json::structural {

inline std::uint64_t sse2_mask(__m128i flags, unsigned shift) {
  return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(flags))) << shift;
}

inline RawMasks classify_sse2(const char* block) {
  RawMasks raw{0, 0, 0, 0};
  for (unsigned i = 0; i < 4; ++i) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    // '[' and ']' differ from '{' and '}' in bit 5 only.
    const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    const unsigned shift = 16 * i;
    raw.quotes |= sse2_mask(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), shift);
    raw.backslashes |= sse2_mask(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')), shift);
    raw.structurals |=
        sse2_mask(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')),
                                            _mm_cmpeq_epi8(folded, _mm_set1_epi8('}'))),
                               _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(',')),
                                            _mm_cmpeq_epi8(bytes, _mm_set1_epi8(':')))),
                  shift);
    raw.whitespace |=
        sse2_mask(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')),
                                            _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))),
                               _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                            _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')))),
                  shift);
  }
  return raw;
}

}  // namespace vennu::json::structural
