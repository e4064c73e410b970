#include "base/text_shape.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vennu {
namespace {

void append_utf8(std::u32string_view code_points, std::string& out) {
  for (const char32_t c : code_points) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

CharWidth width_for(std::u32string_view code_points) {
  char32_t widest = 0;
  for (const char32_t c : code_points) widest = std::max(widest, c);
  if (widest < 0x80) return CharWidth::kAscii;
  if (widest < 0x100) return CharWidth::kLatin1;
  if (widest < 0x10000) return CharWidth::kTwoBytes;
  return CharWidth::kFourBytes;
}

// Decodes through widen_utf8 at the text's own width and every wider one.
std::u32string widened(const std::string& utf8, TextShape shape) {
  std::vector<std::uint32_t> units(shape.code_points + 1, 0xDEADBEEF);
  std::u32string out;
  switch (shape.unit_size()) {
    case 1: {
      std::vector<std::uint8_t> bytes(shape.code_points);
      widen_utf8(utf8, shape, bytes.data());
      out.assign(bytes.begin(), bytes.end());
      break;
    }
    case 2: {
      std::vector<std::uint16_t> pairs(shape.code_points);
      widen_utf8(utf8, shape, pairs.data());
      out.assign(pairs.begin(), pairs.end());
      break;
    }
    default:
      widen_utf8(utf8, shape, units.data());
      EXPECT_EQ(units.back(), 0xDEADBEEF) << "wrote past the end";
      out.assign(units.begin(), units.end() - 1);
  }
  return out;
}

TEST(TextShape, WidthAndLengthAtEveryBoundary) {
  const char32_t edges[] = {0,     0x41,  0x7F,   0x80,    0xE9,    0xFF,    0x100,
                            0x7FF, 0x800, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  for (const char32_t edge : edges) {
    // At every position of texts 1 to 40 code points long, so that the
    // edge falls in every lane of a word and in the tail.
    for (std::size_t size = 1; size <= 40; ++size) {
      for (std::size_t at = 0; at < size; ++at) {
        std::u32string code_points(size, U'a');
        code_points[at] = edge;
        std::string utf8;
        append_utf8(code_points, utf8);
        const std::string where =
            std::to_string(static_cast<std::uint32_t>(edge)) + " at " + std::to_string(at);
        const TextShape shape = shape_of(utf8);
        ASSERT_EQ(shape.code_points, size) << where;
        ASSERT_EQ(shape.width, width_for(code_points)) << where;
        ASSERT_EQ(widened(utf8, shape), code_points) << where;
        TextShape wide = shape;
        wide.width = CharWidth::kFourBytes;
        ASSERT_EQ(widened(utf8, wide), code_points) << where;
      }
    }
  }
  EXPECT_EQ(shape_of("").code_points, 0u);
  EXPECT_EQ(shape_of("").width, CharWidth::kAscii);
}

TEST(TextShape, RandomTextsDecodeToTheirCodePoints) {
  std::mt19937 random(11);
  const char32_t ranges[][2] = {
      {0x20, 0x7F}, {0x80, 0xFF}, {0x100, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  for (int round = 0; round < 3000; ++round) {
    std::u32string code_points;
    const auto size = static_cast<std::size_t>(random() % 100);
    const auto kinds = static_cast<std::size_t>(random() % 5 + 1);
    for (std::size_t i = 0; i < size; ++i) {
      const auto* range = ranges[random() % kinds];
      code_points += static_cast<char32_t>(range[0] + random() % (range[1] - range[0] + 1));
    }
    std::string utf8;
    append_utf8(code_points, utf8);
    const TextShape shape = shape_of(utf8);
    ASSERT_EQ(shape.code_points, code_points.size());
    ASSERT_EQ(shape.width, width_for(code_points));
    ASSERT_EQ(widened(utf8, shape), code_points);
  }
}

// A string is created for max_char() with units of unit_size() bytes: the
// largest code point that width_for still gives the width, in a unit that
// holds it and is the narrowest that does.
TEST(TextShape, MaxCharAndUnitSizeAreTheLimitsOfTheWidth) {
  for (const CharWidth width :
       {CharWidth::kAscii, CharWidth::kLatin1, CharWidth::kTwoBytes, CharWidth::kFourBytes}) {
    const TextShape shape{1, width};
    const std::uint32_t top = shape.max_char();
    const auto width_of = [](char32_t c) { return width_for(std::u32string(1, c)); };
    const int bits = 8 * static_cast<int>(shape.unit_size());
    EXPECT_EQ(width_of(top), width) << top;
    EXPECT_LE(top, 0x10FFFFu);
    EXPECT_TRUE(top == 0x10FFFF || width_of(top + 1) != width) << top;
    EXPECT_EQ(std::uint64_t{top} >> bits, 0u) << top;
    EXPECT_TRUE(bits == 8 || top >> (bits / 2) != 0) << top;
  }
}

}  // namespace
}  // namespace vennu
