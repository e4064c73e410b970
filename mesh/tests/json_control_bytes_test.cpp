// Every control byte at every position of short strings, around plain ASCII
// and around multi-byte UTF-8. The string scanners take 16 or 8 bytes at a
// time where they can and one at a time near the end, so a byte missed by
// one of those paths shows up here at the positions that path serves.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>

#include "json/json.h"
#include "json/string_runs.h"

namespace vennu::json {
namespace {

constexpr std::size_t kLongest = 40;

// Exactly `size` bytes of valid UTF-8: two-, three- and four-byte
// characters in turn while they fit, ASCII for what is left.
std::string utf8_filler(std::size_t size) {
  static constexpr std::string_view kCharacters[] = {"\xc3\xa9", "\xe2\x82\xac",
                                                     "\xf0\x9f\x98\x80"};
  std::string out;
  for (std::size_t turn = 0; out.size() < size; ++turn) {
    const std::string_view character = kCharacters[turn % 3];
    out += out.size() + character.size() <= size ? character : std::string_view("a");
  }
  return out;
}

std::string ascii_filler(std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size; ++i) out += static_cast<char>('a' + i % 26);
  return out;
}

// A control byte as \u00xx, in the given hex digits.
void append_unicode_escape(unsigned char byte, const char* hex_digits, std::string& out) {
  out += "\\u00";
  out += hex_digits[byte >> 4];
  out += hex_digits[byte & 0xF];
}

// The compact literal, worked out byte by byte: the short escapes where
// they exist, \u00xx in lowercase hex for the other control bytes.
std::string expected_literal(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          append_unicode_escape(byte, "0123456789abcdef", out);
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// Every byte below 0x20 as an uppercase \u escape: input the canonicalizer
// has to rewrite.
std::string uppercase_escapes(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      append_unicode_escape(byte, "0123456789ABCDEF", out);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

struct Surroundings {
  const char* name;
  std::string (*filler)(std::size_t);
};
constexpr Surroundings kSurroundings[] = {{"ascii", ascii_filler}, {"utf-8", utf8_filler}};

// Where a byte was placed, printed only when a check fails.
struct Placement {
  const char* surroundings;
  std::size_t length;
  std::size_t position;
  int byte;
};

std::ostream& operator<<(std::ostream& out, const Placement& placement) {
  return out << placement.surroundings << " length " << placement.length << " position "
             << placement.position << " byte " << placement.byte;
}

// Calls check(text, placement) for each byte 0x00-0x1F at each position of
// each length from 1 to kLongest, in both surroundings.
template <class Check>
void for_each_control_byte_placement(Check check) {
  for (const Surroundings& surroundings : kSurroundings) {
    for (std::size_t length = 1; length <= kLongest; ++length) {
      for (std::size_t position = 0; position < length; ++position) {
        const std::string before = surroundings.filler(position);
        const std::string after = surroundings.filler(length - position - 1);
        for (int byte = 0; byte < 0x20; ++byte) {
          const std::string text = before + static_cast<char>(byte) + after;
          check(text, Placement{surroundings.name, length, position, byte});
          if (::testing::Test::HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST(JsonControlBytes, WriterEscapesEachAtEveryPosition) {
  for_each_control_byte_placement([](const std::string& text, const Placement& label) {
    std::string written;
    write_string(text, written);
    ASSERT_EQ(written, expected_literal(text)) << label;
    const auto parsed = parse(written);
    ASSERT_TRUE(parsed.has_value()) << label;
    ASSERT_EQ(parsed->kind(), Kind::kString) << label;
    ASSERT_EQ(parsed->as_string(), text) << label;
    ASSERT_EQ(write(Value::string(text)), written) << label;
  });
}

TEST(JsonControlBytes, CanonicalizerRewritesEachAtEveryPosition) {
  for_each_control_byte_placement([](const std::string& text, const Placement& label) {
    const std::string literal = expected_literal(text);
    const std::string input = uppercase_escapes(text);
    const auto alone = canonicalize(input);
    ASSERT_TRUE(alone.has_value()) << label;
    ASSERT_EQ(alone.value(), literal) << label;
    // As a key and as a value, after a plain string that fills a block.
    const std::string pad = "\"" + std::string(17, 'p') + "\"";
    const auto nested = canonicalize("{" + input + ":[" + pad + "," + input + "]}");
    ASSERT_TRUE(nested.has_value()) << label;
    ASSERT_EQ(nested.value(), "{" + literal + ":[" + pad + "," + literal + "]}") << label;
    const auto parsed = parse(nested.value());
    ASSERT_TRUE(parsed.has_value()) << label;
    ASSERT_EQ(parsed->as_object().begin()->first, text) << label;
  });
}

// Unescaped, each is refused where it stands (a line feed ends line 1, so
// it is found at column 0 of line 2).
TEST(JsonControlBytes, ReadersRefuseEachUnescapedAtEveryPosition) {
  for_each_control_byte_placement([](const std::string& text, const Placement& label) {
    const std::string input = "\"" + text + "\"";
    const bool line_feed = label.byte == '\n';
    const std::size_t column = line_feed ? 0 : label.position + 2;
    const std::string expected =
        "control character (\\u0000-\\u001F) found while parsing a string at line " +
        std::string(line_feed ? "2" : "1") + " column " + std::to_string(column);
    const auto canonical = canonicalize(input);
    ASSERT_FALSE(canonical.has_value()) << label;
    ASSERT_EQ(canonical.error().text(), expected) << label;
    const auto parsed = parse(input);
    ASSERT_FALSE(parsed.has_value()) << label;
    ASSERT_EQ(parsed.error().text(), expected) << label;
    const auto invalid = validate(input);
    ASSERT_TRUE(invalid.has_value()) << label;
    ASSERT_EQ(invalid->text(), expected) << label;
  });
}

// The block (SSE2 or NEON), word and byte steps of the run search, and the
// short-run read, agree with the one-byte rule for every byte value at every
// position, in both modes, from the text's start and from within it (where
// the last block is read from before the start), whichever steps this build
// has.
template <RunEnd kMode>
void expect_run_ends_agree() {
  std::string text(kLongest, 'a');
  for (int byte = 0; byte < 256; ++byte) {
    for (std::size_t size = 1; size <= kLongest; ++size) {
      for (std::size_t position = 0; position < size; ++position) {
        text.assign(size, 'a');
        text[position] = static_cast<char>(byte);
        const std::size_t expected =
            ends_run<kMode>(static_cast<unsigned char>(byte)) ? position : size;
        const char* found = find_run_end<kMode>(text.data(), text.data() + size);
        ASSERT_EQ(static_cast<std::size_t>(found - text.data()), expected)
            << "byte " << byte << " at " << position << " of " << size;
        // From within the text, which may then be read before the start.
        const char* start = text.data() + position / 2;
        found = find_run_end<kMode>(start, text.data() + size, text.data());
        ASSERT_EQ(static_cast<std::size_t>(found - text.data()), expected)
            << "byte " << byte << " at " << position << " of " << size << " from " << position / 2;
        if (size >= kShortRun) {
          ASSERT_EQ(short_run_length<kMode>(text.data()), std::min(expected, kShortRun))
              << "byte " << byte << " at " << position << " of " << size;
        }
      }
    }
  }
}

TEST(JsonControlBytes, RunSearchStepsAgreeWithTheByteRule) {
  expect_run_ends_agree<RunEnd::kReading>();
  expect_run_ends_agree<RunEnd::kWriting>();
}

}  // namespace
}  // namespace vennu::json
