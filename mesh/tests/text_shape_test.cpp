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

TEST(TextShape, MaxCharAndUnitSizeFollowTheWidth) {
  const TextShape ascii{3, CharWidth::kAscii};
  const TextShape latin1{3, CharWidth::kLatin1};
  const TextShape two{3, CharWidth::kTwoBytes};
  const TextShape four{3, CharWidth::kFourBytes};
  EXPECT_EQ(ascii.max_char(), 0x7Fu);
  EXPECT_EQ(latin1.max_char(), 0xFFu);
  EXPECT_EQ(two.max_char(), 0xFFFFu);
  EXPECT_EQ(four.max_char(), 0x10FFFFu);
  EXPECT_EQ(ascii.unit_size(), 1u);
  EXPECT_EQ(latin1.unit_size(), 1u);
  EXPECT_EQ(two.unit_size(), 2u);
  EXPECT_EQ(four.unit_size(), 4u);
}

}  // namespace
}  // namespace vennu
