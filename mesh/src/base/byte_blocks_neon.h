// The NEON blocks of byte_blocks.h; include that header, not this one.

#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace vennu {

using BlockMask = std::uint64_t;
inline constexpr unsigned kBitsPerByte = 4;

// The mask of a block of byte flags (0xFF or 0 each). NEON has no byte
// mask: narrowing each pair of bytes by a 4-bit shift leaves 4 bits per byte.
inline BlockMask block_mask(uint8x16_t flags) {
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(flags), 4)), 0);
}

}  // namespace vennu
