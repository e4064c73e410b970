// The SSE2 blocks of byte_blocks.h; include that header, not this one.

#pragma once

#include <emmintrin.h>

namespace vennu {

using BlockMask = unsigned;
inline constexpr unsigned kBitsPerByte = 1;

// The mask of a block of byte flags (0xFF or 0 each).
inline BlockMask block_mask(__m128i flags) {
  return static_cast<unsigned>(_mm_movemask_epi8(flags));
}

}  // namespace vennu
