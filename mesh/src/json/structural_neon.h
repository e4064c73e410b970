// The NEON structural index kernel: four 16-byte vectors a block, on
// little-endian AArch64, where NEON is always there. Included by
// structural_index.cpp only, where MESH_HAVE_NEON is set.
//
// Thread safety: pure functions.

#pragma once

#include <arm_neon.h>

#include <cstdint>

#include "json/structural_steps.h"

namespace vennu::json::structural {

// The byte flags (0xFF or 0 each) of four vectors as one mask, byte 0 of
// the first lowest: each flag keeps its own bit of a byte, and three rounds
// of pairwise additions put eight flags in each byte.
inline std::uint64_t neon_mask(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d) {
  static const std::uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t bits = vld1q_u8(kBits);
  const uint8x16_t ab = vpaddq_u8(vandq_u8(a, bits), vandq_u8(b, bits));
  const uint8x16_t cd = vpaddq_u8(vandq_u8(c, bits), vandq_u8(d, bits));
  const uint8x16_t abcd = vpaddq_u8(ab, cd);
  return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(abcd, abcd)), 0);
}

inline uint8x16_t neon_structurals(uint8x16_t bytes) {
  // '[' and ']' differ from '{' and '}' in bit 5 only.
  const uint8x16_t folded = vorrq_u8(bytes, vdupq_n_u8(0x20));
  return vorrq_u8(vorrq_u8(vceqq_u8(folded, vdupq_n_u8('{')), vceqq_u8(folded, vdupq_n_u8('}'))),
                  vorrq_u8(vceqq_u8(bytes, vdupq_n_u8(',')), vceqq_u8(bytes, vdupq_n_u8(':'))));
}

inline uint8x16_t neon_whitespace(uint8x16_t bytes) {
  return vorrq_u8(vorrq_u8(vceqq_u8(bytes, vdupq_n_u8(' ')), vceqq_u8(bytes, vdupq_n_u8('\t'))),
                  vorrq_u8(vceqq_u8(bytes, vdupq_n_u8('\n')), vceqq_u8(bytes, vdupq_n_u8('\r'))));
}

inline RawMasks classify_neon(const char* block) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(block);
  const uint8x16_t v[4] = {vld1q_u8(p), vld1q_u8(p + 16), vld1q_u8(p + 32), vld1q_u8(p + 48)};
  const uint8x16_t quote = vdupq_n_u8('"');
  const uint8x16_t backslash = vdupq_n_u8('\\');
  return {neon_mask(vceqq_u8(v[0], quote), vceqq_u8(v[1], quote), vceqq_u8(v[2], quote),
                    vceqq_u8(v[3], quote)),
          neon_mask(vceqq_u8(v[0], backslash), vceqq_u8(v[1], backslash), vceqq_u8(v[2], backslash),
                    vceqq_u8(v[3], backslash)),
          neon_mask(neon_structurals(v[0]), neon_structurals(v[1]), neon_structurals(v[2]),
                    neon_structurals(v[3])),
          neon_mask(neon_whitespace(v[0]), neon_whitespace(v[1]), neon_whitespace(v[2]),
                    neon_whitespace(v[3]))};
}

}  // namespace vennu::json::structural
