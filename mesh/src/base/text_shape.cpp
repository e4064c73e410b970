#include "base/text_shape.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/byte_blocks.h"
#include "base/byte_words.h"

namespace vennu {
namespace {

// Each test below leaves, in the high bit of every byte, whether that byte
// is of one kind. Shifting a word left by k < 8 brings bit 7 - k of each byte
// to its bit 7 without crossing into another byte's high bit, so the tests
// hold in either byte order.
struct ByteKinds {
  std::uint64_t non_ascii = 0;      // 1xxxxxxx
  std::uint64_t continuation = 0;   // 10xxxxxx
  std::uint64_t beyond_latin1 = 0;  // a lead of U+0100 and up (0xC4 and up)
  std::uint64_t four_bytes = 0;     // 11110xxx

  void add(std::uint64_t word) {
    const std::uint64_t b6 = word << 1;
    const std::uint64_t b5 = word << 2;
    const std::uint64_t b4 = word << 3;
    const std::uint64_t above_c3 = b4 | (word << 4) | (word << 5);  // bits 4 to 2
    non_ascii |= word;
    const std::uint64_t leads = word & b6;
    beyond_latin1 |= leads & (b5 | above_c3);
    four_bytes |= leads & b5 & b4;
  }
};

std::uint32_t decode_at(const unsigned char*& p) {
  const unsigned lead = *p;
  if (lead < 0x80) {
    ++p;
    return lead;
  }
  if (lead < 0xE0) {
    const std::uint32_t c = ((lead & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    p += 2;
    return c;
  }
  if (lead < 0xF0) {
    const std::uint32_t c = ((lead & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    p += 3;
    return c;
  }
  const std::uint32_t c =
      ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  p += 4;
  return c;
}

#if defined(MESH_HAVE_SSE2) || defined(MESH_HAVE_NEON)
// Widens the 16 bytes at p to units at out, all 16 whatever they hold, and
// returns how many of them, from the first, are ASCII.
template <class Unit>
std::size_t widen_block(const unsigned char* p, Unit* out) {
#if defined(MESH_HAVE_SSE2)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const auto store = [](Unit* at, __m128i units) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), units);
  };
  if constexpr (sizeof(Unit) == 1) {
    store(out, bytes);
  } else {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(bytes, zero);
    const __m128i high = _mm_unpackhi_epi8(bytes, zero);
    if constexpr (sizeof(Unit) == 2) {
      store(out, low);
      store(out + 8, high);
    } else {
      store(out, _mm_unpacklo_epi16(low, zero));
      store(out + 4, _mm_unpackhi_epi16(low, zero));
      store(out + 8, _mm_unpacklo_epi16(high, zero));
      store(out + 12, _mm_unpackhi_epi16(high, zero));
    }
  }
  const BlockMask non_ascii =
      block_mask(_mm_cmplt_epi8(bytes, _mm_setzero_si128()));  // from 0x80 up
#else
  const uint8x16_t bytes = vld1q_u8(p);
  if constexpr (sizeof(Unit) == 1) {
    vst1q_u8(out, bytes);
  } else {
    const uint16x8_t low = vmovl_u8(vget_low_u8(bytes));
    const uint16x8_t high = vmovl_u8(vget_high_u8(bytes));
    if constexpr (sizeof(Unit) == 2) {
      vst1q_u16(out, low);
      vst1q_u16(out + 8, high);
    } else {
      vst1q_u32(out, vmovl_u16(vget_low_u16(low)));
      vst1q_u32(out + 4, vmovl_u16(vget_high_u16(low)));
      vst1q_u32(out + 8, vmovl_u16(vget_low_u16(high)));
      vst1q_u32(out + 12, vmovl_u16(vget_high_u16(high)));
    }
  }
  const BlockMask non_ascii = block_mask(vcgeq_u8(bytes, vdupq_n_u8(0x80)));
#endif
  return non_ascii == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(non_ascii)) / kBitsPerByte;
}
#endif

template <class Unit>
void decode_into(std::string_view utf8, std::size_t count, Unit* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* const end = p + utf8.size();
  Unit* const out_end = out + count;
  while (p != end && out != out_end) {
    // ASCII comes in runs, even in text that is not: a block or word of it
    // is widened whole, and one where other text starts is widened whole
    // too, its units from that point on to be written over by what follows.
#if defined(MESH_HAVE_SSE2) || defined(MESH_HAVE_NEON)
    while (end - p >= 16 && out_end - out >= 16) {
      const std::size_t ascii = widen_block(p, out);
      p += ascii;
      out += ascii;
      if (ascii != 16) break;
    }
#endif
    while (end - p >= 8 && out_end - out >= 8) {
      const std::uint64_t high = load_word(reinterpret_cast<const char*>(p)) & kHighBits;
      for (int i = 0; i < 8; ++i) out[i] = static_cast<Unit>(p[i]);
      const int ascii = high == 0 ? 8 : first_flagged_byte(high);
      p += ascii;
      out += ascii;
      if (ascii != 8) break;
    }
    if (p == end || out == out_end) break;
    if (*p < 0x80) {
      *out++ = static_cast<Unit>(*p++);
      continue;
    }
    const std::ptrdiff_t sequence = *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : 2;
    if (end - p < sequence) break;
    *out++ = static_cast<Unit>(decode_at(p));
  }
}

}  // namespace

std::uint32_t TextShape::max_char() const {
  switch (width) {
    case CharWidth::kAscii:
      return 0x7F;
    case CharWidth::kLatin1:
      return 0xFF;
    case CharWidth::kTwoBytes:
      return 0xFFFF;
    case CharWidth::kFourBytes:
      break;
  }
  return 0x10FFFF;
}

std::size_t TextShape::unit_size() const {
  switch (width) {
    case CharWidth::kAscii:
    case CharWidth::kLatin1:
      return 1;
    case CharWidth::kTwoBytes:
      return 2;
    case CharWidth::kFourBytes:
      break;
  }
  return 4;
}

TextShape shape_of(std::string_view utf8) {
  ByteKinds kinds;
  std::size_t continuations = 0;
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  // Most text is ASCII: skip it two words at a time.
  while (end - p >= 16 && ((load_word(p) | load_word(p + 8)) & kHighBits) == 0) p += 16;
  for (; end - p >= 8; p += 8) {
    const std::uint64_t word = load_word(p);
    if ((word & kHighBits) == 0) continue;
    kinds.add(word);
    continuations += static_cast<std::size_t>(count_flagged_bytes(word & ~(word << 1) & kHighBits));
  }
  if (p != end) {
    // The last bytes, padded with zeros, which are ASCII.
    std::uint64_t word = 0;
    unsigned char tail[8] = {};
    for (std::size_t i = 0; p + i != end; ++i) tail[i] = static_cast<unsigned char>(p[i]);
    std::memcpy(&word, tail, sizeof word);
    kinds.add(word);
    continuations += static_cast<std::size_t>(count_flagged_bytes(word & ~(word << 1) & kHighBits));
  }
  TextShape shape;
  shape.code_points = utf8.size() - continuations;
  if ((kinds.four_bytes & kHighBits) != 0) {
    shape.width = CharWidth::kFourBytes;
  } else if ((kinds.beyond_latin1 & kHighBits) != 0) {
    shape.width = CharWidth::kTwoBytes;
  } else if ((kinds.non_ascii & kHighBits) != 0) {
    shape.width = CharWidth::kLatin1;
  }
  return shape;
}

void widen_utf8(std::string_view utf8, const TextShape& shape, void* out) {
  if (shape.code_points == 0) return;  // out may then be null
  switch (shape.width) {
    case CharWidth::kAscii:
      std::memcpy(out, utf8.data(), std::min(utf8.size(), shape.code_points));
      return;
    case CharWidth::kLatin1:
      decode_into(utf8, shape.code_points, static_cast<std::uint8_t*>(out));
      return;
    case CharWidth::kTwoBytes:
      decode_into(utf8, shape.code_points, static_cast<std::uint16_t*>(out));
      return;
    case CharWidth::kFourBytes:
      decode_into(utf8, shape.code_points, static_cast<std::uint32_t*>(out));
      return;
  }
}

}  // namespace vennu
