#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "json.h"
#include "test_data.h"
#include "text_position.h"

namespace vennu::json {
namespace {

struct Case {
  std::string input;
  std::string expected;  // compact text, or the full error text
};

// The canonicalizer that appends and reports the shape writes what the
// plain one returns, after what out held, and leaves out alone on failure;
// its shape is that of the text it appended, measured again.
void expect_shaped_form_agrees(std::string_view text,
                               const Expected<std::string, Error>& streamed) {
  const std::string before = "kept\xc3\xa9";
  std::string out = before;
  TextShape shape{12345, CharWidth::kFourBytes};
  const auto error = canonicalize(text, out, shape);
  ASSERT_EQ(!error, streamed.has_value()) << text;
  if (error) {
    EXPECT_EQ(error->text(), streamed.error().text()) << text;
    EXPECT_EQ(out, before) << text;
    return;
  }
  EXPECT_EQ(out, before + *streamed) << text;
  const TextShape measured = shape_of(*streamed);
  EXPECT_EQ(shape.code_points, measured.code_points) << text;
  EXPECT_EQ(shape.width, measured.width) << text;
}

// All reading paths (tree, streaming, checking only) must give the same text
// or error.
std::string compact(std::string_view text) {
  auto tree = parse(text);
  auto streamed = canonicalize(text);
  expect_shaped_form_agrees(text, streamed);
  const auto checked = validate(text);
  const std::string via_tree = tree ? write(*tree) : tree.error().text();
  const std::string via_stream = streamed ? *streamed : streamed.error().text();
  EXPECT_EQ(streamed.has_value(), tree.has_value()) << text;
  EXPECT_EQ(via_stream, via_tree) << text;
  EXPECT_EQ(checked ? checked->text() : "", tree ? "" : via_tree) << text;
  return via_tree;
}

TEST(JsonNumbers, CompactForms) {
  const Case cases[] = {
      {"1.50", "1.5"},
      {"2.0", "2.0"},
      {"1e2", "100.0"},
      {"100", "100"},
      {"1e16", "1e+16"},
      {"0.000001", "1e-6"},
      {"-0", "-0.0"},
      {"-0.0", "-0.0"},
      {"0", "0"},
      {"0.0", "0.0"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"1e15", "1000000000000000.0"},
      {"123456789012345.6", "123456789012345.6"},
      {"1e-5", "0.00001"},
      {"0.5", "0.5"},
      {"0.1", "0.1"},
      {"-1.5", "-1.5"},
      {"1.5e-7", "1.5e-7"},
      {"1E-6", "1e-6"},
      {"123456789012345680000", "1.2345678901234568e+20"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"5e-324", "5e-324"},
      {"2e-324", "0.0"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"1e-999999999999999999", "0.0"},
      {"0e999999999999999999", "0.0"},
      {std::string("1") + std::string(400, '0') + "e-399", "10.0"},
      {"0.3e+1", "3.0"},
      {"0.000012300", "0.0000123"},
      {"0.0001230e-2", "1.23e-6"},
      {"12.3400e1", "123.4"},
      {"-0.0e5", "-0.0"},
      {"1230000000000000e0", "1230000000000000.0"},
      {"12300000000000000e0", "1.23e+16"},
      {"123456789012345.0", "123456789012345.0"},
      {"1234567890123456.0", "1234567890123456.0"},
      {"1e300", "1e+300"},
      {"1e301", "1e+301"},
      {"1e-300", "1e-300"},
      {"0.1e309", "1e+308"},
      {"1.7976931348623158e308", "1.7976931348623157e+308"},
  };
  for (const Case& c : cases) EXPECT_EQ(compact(c.input), c.expected) << c.input;
}

TEST(JsonNumbers, KeepTheirKind) {
  EXPECT_EQ(parse("5")->kind(), Kind::kUnsigned);
  EXPECT_EQ(parse("-5")->as_signed(), -5);
  EXPECT_EQ(parse("5.0")->kind(), Kind::kDouble);
  EXPECT_EQ(parse("1e2")->kind(), Kind::kDouble);
  const double negative_zero = parse("-0")->as_double();
  EXPECT_TRUE(negative_zero == 0.0 && std::signbit(negative_zero));
  EXPECT_NE(*parse("-0"), *parse("0.0"));
}

TEST(JsonNumbers, NonFiniteWrittenAsNull) {
  EXPECT_EQ(write(Value::floating(std::numeric_limits<double>::quiet_NaN())), "null");
  EXPECT_EQ(write(Value::floating(-std::numeric_limits<double>::infinity())), "null");
  std::string message;
  write_double_for_message(1e16, message);
  write_double_for_message(1.5e-7, message);
  EXPECT_EQ(message, "1e161.5e-7");
}

TEST(JsonStrings, WriterEscapesOnlyWhatItMust) {
  std::string out;
  write_string("\"\\\b\t\n\f\r\x01\x1f/\x7f\xc3\xa9", out);
  EXPECT_EQ(out, "\"\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001f/\x7f\xc3\xa9\"");
  out.clear();
  write_string(std::string_view("a\0b", 3), out);
  EXPECT_EQ(out, "\"a\\u0000b\"");
}

TEST(JsonStrings, ReaderDecodesEscapes) {
  const Case cases[] = {
      {R"("\/\"\\\b\f\n\r\t")", "/\"\\\b\f\n\r\t"},
      {R"("\u00e9\u00E9")", "\xc3\xa9\xc3\xa9"},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {R"("\u0000")", std::string(1, '\0')},
      {"\"\xf4\x8f\xbf\xbf \xef\xbf\xbf\"", "\xf4\x8f\xbf\xbf \xef\xbf\xbf"},
  };
  for (const Case& c : cases) {
    auto value = parse(c.input);
    ASSERT_TRUE(value.has_value()) << c.input;
    EXPECT_EQ(value->as_string(), c.expected) << c.input;
    std::string rewritten;
    write_string(c.expected, rewritten);
    EXPECT_EQ(compact(c.input), rewritten) << c.input;
  }
}

// The shape comes from the characters written, escaped or not, at each
// width's edges, and from what is left of an object whose repeated keys
// were dropped with the widest or the only wide characters in them.
TEST(JsonStrings, CanonicalFormKnowsItsShape) {
  const Case cases[] = {
      {R"("\u007f\u0080")", "\"\x7f\xc2\x80\""},
      {"\"\xc3\xbf\"", "\"\xc3\xbf\""},
      {R"("\u00ff\u0100")", "\"\xc3\xbf\xc4\x80\""},
      {"\"\xdf\xbf\xe0\xa0\x80\"", "\"\xdf\xbf\xe0\xa0\x80\""},
      {R"("\uffff\ud800\udc00")", "\"\xef\xbf\xbf\xf0\x90\x80\x80\""},
      {"[\"\xf4\x8f\xbf\xbf\",\"\\u001f\"]", "[\"\xf4\x8f\xbf\xbf\",\"\\u001f\"]"},
      {"{\"\xc3\xa9\":\"\xe2\x82\xac\",\"a\":1}", "{\"a\":1,\"\xc3\xa9\":\"\xe2\x82\xac\"}"},
      {"{\"a\":\"\xf0\x9f\x98\x80\",\"a\":\"\xc3\xa9\"}", "{\"a\":\"\xc3\xa9\"}"},
      {"{\"a\":\"\xc3\xa9\",\"a\":\"e\"}", R"({"a":"e"})"},
      {"{\"b\":{\"a\":\"\xe2\x82\xac\",\"a\":0},\"a\":\"\xc3\xa9\"}",
       "{\"a\":\"\xc3\xa9\",\"b\":{\"a\":0}}"},
  };
  for (const Case& c : cases) EXPECT_EQ(compact(c.input), c.expected) << c.input;
}

TEST(JsonObjects, KeysSortedByBytesLastDuplicateWins) {
  Object object;
  object.set("b", Value::unsigned_integer(1));
  object.set("a", Value::unsigned_integer(2));
  object.set("B", Value::unsigned_integer(3));
  object.set("a", Value::unsigned_integer(4));
  EXPECT_EQ(write(Value::object(object)), R"({"B":3,"a":4,"b":1})");
  ASSERT_NE(object.find("B"), nullptr);
  EXPECT_EQ(object.find("c"), nullptr);

  const Case cases[] = {
      {R"({"a":1,"a":2})", R"({"a":2})"},
      {R"({"b":1,"a":2,"B":3})", R"({"B":3,"a":2,"b":1})"},
      {R"({"\u00e9":1,"z":2,"\n":3})", "{\"\\n\":3,\"z\":2,\"\xc3\xa9\":1}"},
      {R"({"b":{"y":[{"d":1,"c":2,"d":3}],"x":2},"a":0,"b":false})", R"({"a":0,"b":false})"},
      {R"({"b":{"y":[{"d":1,"c":2,"d":3}],"x":2},"a":0})", R"({"a":0,"b":{"x":2,"y":[{"c":2,"d":3}]}})"},
      {R"( { "a" : [ 1 , true , null , "x" ] } )", R"({"a":[1,true,null,"x"]})"},
      // Escapes put the written bytes of a key out of its order.
      {R"({"A":1,"\"":2})", R"({"\"":2,"A":1})"},
      {R"({"\b":1,"\u0001":2})", R"({"\u0001":2,"\b":1})"},
      {R"({"\"":1,"A":2})", R"({"\"":1,"A":2})"},
      {R"({"\u0061":1,"a":2,"\u0062":3})", R"({"a":2,"b":3})"},
  };
  for (const Case& c : cases) EXPECT_EQ(compact(c.input), c.expected) << c.input;
  EXPECT_EQ(parse(R"({"a":1,"a":2})")->as_object().size(), 1u);
}

TEST(JsonDepth, LimitIsEnforcedBeforeRecursing) {
  EXPECT_EQ(compact(std::string(127, '[') + std::string(127, ']')),
            std::string(127, '[') + std::string(127, ']'));
  EXPECT_EQ(compact(std::string(128, '[') + std::string(128, ']')),
            "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(compact(std::string(100000, '[')), "recursion limit exceeded at line 1 column 128");
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += "{\"a\":";
  EXPECT_EQ(compact(objects), "recursion limit exceeded at line 1 column 636");
}

TEST(JsonReader, ErrorsArePositioned) {
  const Case cases[] = {
      {"x", "expected value at line 1 column 1"},
      {"NaN", "expected value at line 1 column 1"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"1 x", "trailing characters at line 1 column 3"},
      {"{}x", "trailing characters at line 1 column 3"},
      {"[1]\n\nx", "trailing characters at line 3 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  ", "EOF while parsing a value at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\uDC00\"", "invalid unicode code point at line 1 column 7"},
      {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xe2\x82\"", "invalid unicode code point at line 1 column 4"},
      {"\"\xf0\x9f\x98", "EOF while parsing a string at line 1 column 4"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"[\n\"a\n\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 3 column 0"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"nul1", "expected ident at line 1 column 4"},
      {"[falsy]", "expected ident at line 1 column 6"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"[-01]", "invalid number at line 1 column 4"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"+1", "expected value at line 1 column 1"},
      {"1e400", "number out of range at line 1 column 5"},
      {"1.7976931348623159e308", "number out of range at line 1 column 22"},
      {"[1e308, 1e309]", "number out of range at line 1 column 13"},
      {"[-1e999999999999999999]", "number out of range at line 1 column 22"},
      {std::string("1") + std::string(400, '0'), "number out of range at line 1 column 401"},
      {"\n\n  x", "expected value at line 3 column 3"},
  };
  for (const Case& c : cases) EXPECT_EQ(compact(c.input), c.expected) << c.input;
}

TEST(JsonNumbers, IntegersKeepTheirKindWithinTheirRange) {
  struct KindCase {
    std::string text;
    Kind kind;
  };
  const KindCase cases[] = {
      {"999999999999999999", Kind::kUnsigned},    {"9223372036854775808", Kind::kUnsigned},
      {"18446744073709551615", Kind::kUnsigned},  {"18446744073709551616", Kind::kDouble},
      {"99999999999999999999", Kind::kDouble},    {"-999999999999999999", Kind::kSigned},
      {"-9223372036854775808", Kind::kSigned},    {"-9223372036854775809", Kind::kDouble},
      {"-0", Kind::kDouble},
  };
  for (const KindCase& c : cases) {
    auto value = parse(c.text);
    ASSERT_TRUE(value.has_value()) << c.text;
    EXPECT_EQ(value->kind(), c.kind) << c.text;
    if (c.kind != Kind::kDouble) {
      EXPECT_EQ(compact(c.text), c.text);
    }
  }
  EXPECT_EQ(parse("18446744073709551615")->as_unsigned(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse("12345678901234567")->as_unsigned(), 12345678901234567u);
  EXPECT_EQ(parse("-9223372036854775808")->as_signed(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parse("-123456789012345678")->as_signed(), -123456789012345678);
}

// Canonicalizing lays short decimals out from their digits; the tree goes
// through a double and back. Both must agree on every form.
TEST(JsonNumbers, DecimalsAgreeWithTheConversionBothWays) {
  std::mt19937_64 random(20240611);
  auto digits = [&](std::size_t count, bool nonzero_first) {
    static constexpr char kDigits[] = "0000123456789";  // zeros are where the edge cases are
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += kDigits[random() % (sizeof kDigits - 1)];
    if (nonzero_first && !text.empty() && text[0] == '0') text[0] = '7';
    return text;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = random() % 2 ? "-" : "";
    text += random() % 3 == 0 ? "0" : digits(static_cast<std::size_t>(1 + random() % 17), true);
    if (random() % 4 != 0) {
      text += '.';
      text += digits(static_cast<std::size_t>(1 + random() % 17), false);
    }
    if (random() % 2 != 0) {
      text += random() % 2 ? "e" : "E";
      if (random() % 2 != 0) text += random() % 2 ? "-" : "+";
      text += std::to_string(random() % 330);
    }
    compact(text);
  }
}

TEST(JsonNumbers, CompactTextMayOutgrowItsInput) {
  std::string text = "{\"b\":[";
  std::string expected = "{\"a\":-0.0,\"b\":[";
  for (int i = 0; i < 1000; ++i) {
    text += i == 0 ? "1e15" : ",1e15";
    expected += i == 0 ? "1000000000000000.0" : ",1000000000000000.0";
  }
  text += "],\"a\":-0}";
  expected += "]}";
  EXPECT_EQ(compact(text), expected);
}

TEST(JsonNumbers, IntegerWritersGiveDecimalText) {
  for (const std::uint64_t value : {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{10}, std::uint64_t{99},
                                    std::uint64_t{100}, std::uint64_t{1234567}, std::uint64_t{10000000000000000000u},
                                    std::numeric_limits<std::uint64_t>::max()}) {
    std::string out = "x";
    write_unsigned(value, out);
    EXPECT_EQ(out.substr(1), std::to_string(value));
    EXPECT_EQ(out[0], 'x');
  }
  for (const std::int64_t value : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{-10}, std::int64_t{-100},
                                   std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    std::string out = "x";
    write_signed(value, out);
    EXPECT_EQ(out.substr(1), std::to_string(value));
    EXPECT_EQ(out[0], 'x');
  }
}

// Strings are scanned several bytes at a time; what is found must not depend
// on where in a block it sits, nor on how much text follows.
TEST(JsonStrings, SpecialBytesAreFoundAtEveryPosition) {
  struct Special {
    std::string in_text;
    std::string decoded;
    std::string written;
  };
  const Special specials[] = {
      {"\\\"", "\"", "\\\""},
      {"\\u0001", "\x01", "\\u0001"},
      {"\\/", "/", "/"},
      {"\\\\", "\\", "\\\\"},
      {"\xc3\xa9", "\xc3\xa9", "\xc3\xa9"},
      {"\xf0\x9f\x98\x80\xe6\x97\xa5", "\xf0\x9f\x98\x80\xe6\x97\xa5", "\xf0\x9f\x98\x80\xe6\x97\xa5"},
  };
  const std::string tail = ",\"" + std::string(20, 'z') + "\"]";
  for (std::size_t before = 0; before < 36; ++before) {
    const std::string prefix(before, 'a');
    for (const std::size_t after : {0, 1, 7, 8, 9, 15, 16, 17}) {
      const std::string suffix(after, 'b');
      for (const Special& special : specials) {
        const std::string text = "\"" + prefix + special.in_text + suffix + "\"";
        const std::string literal = "\"" + prefix + special.written + suffix + "\"";
        auto value = parse(text);
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_EQ(value->as_string(), prefix + special.decoded + suffix) << text;
        EXPECT_EQ(compact(text), literal);
        EXPECT_EQ(compact("[" + text + tail), "[" + literal + tail);
        std::string written = "x";
        write_string(prefix + special.decoded + suffix, written);
        EXPECT_EQ(written, "x" + literal);
      }
    }
    const std::string column = " at line 1 column " + std::to_string(before + 3);
    EXPECT_EQ(compact("[\"" + prefix + "\x1f" + tail),
              "control character (\\u0000-\\u001F) found while parsing a string" + column);
    EXPECT_EQ(compact("[\"" + prefix + "\xc3\x28" + tail), "invalid unicode code point at line 1 column " +
                                                              std::to_string(before + 4));
    EXPECT_EQ(compact("\"" + prefix), "EOF while parsing a string at line 1 column " + std::to_string(before + 1));
  }
}

TEST(JsonObjects, LargeObjectsAreSortedWithRepeatsResolved) {
  std::map<std::string, int> last;
  std::string text = "{";
  for (int i = 2999; i >= 0; --i) {
    const std::string key = std::to_string(i % 1000);
    text += i == 2999 ? "\"" : ",\"";
    text += key + "\":" + std::to_string(i);
    last[key] = i;
  }
  text += "}";
  std::string expected = "{";
  for (const auto& [key, value] : last) {
    expected += expected.size() == 1 ? "\"" : ",\"";
    expected += key + "\":" + std::to_string(value);
  }
  expected += "}";
  EXPECT_EQ(compact(text), expected);
  EXPECT_EQ(compact(R"({"b":1,"a":2})"), R"({"a":2,"b":1})");
}

// Reordering must not move a member again for every enclosing object that is
// reordered too: the bytes moved (out to scratch and back) stay within five
// times the text at any depth.
TEST(JsonObjects, ReorderingMovesEachByteAFewTimesAtAnyDepth) {
  const auto bytes_moved_by = [](const std::string& text) {
    const std::uint64_t before = reordered_bytes_on_this_thread();
    EXPECT_TRUE(canonicalize(text).has_value()) << text.substr(0, 80);
    return reordered_bytes_on_this_thread() - before;
  };
  std::string padding(4002, 'x');
  padding.front() = '"';
  padding.back() = '"';
  for (const int depth : {1, 2, 3, 10, 64, 125, 127}) {
    std::string out_of_order;
    std::string in_order;
    std::string expected = padding;
    for (int level = 0; level < depth; ++level) {
      out_of_order += "{\"b\":1,\"a\":";
      in_order += "{\"a\":";
      expected = "{\"a\":" + expected + ",\"b\":1}";
    }
    out_of_order += padding + std::string(static_cast<std::size_t>(depth), '}');
    in_order = expected;
    EXPECT_EQ(compact(out_of_order), expected) << depth;
    EXPECT_LE(bytes_moved_by(out_of_order), 5 * out_of_order.size()) << depth;
    EXPECT_EQ(bytes_moved_by(in_order), 0u) << depth;

    // Reordered objects nested in one that is in order, and in a repeated
    // member that is dropped (two levels more).
    if (depth > kMaxDepth - 2) continue;
    const std::string wrapped = "{\"k\":[" + out_of_order + "," + out_of_order + "],\"z\":0}";
    EXPECT_EQ(compact(wrapped), "{\"k\":[" + expected + "," + expected + "],\"z\":0}") << depth;
    EXPECT_LE(bytes_moved_by(wrapped), 5 * wrapped.size()) << depth;
    const std::string dropped = "{\"k\":" + out_of_order + ",\"a\":2,\"k\":" + out_of_order + "}";
    EXPECT_EQ(compact(dropped), "{\"a\":2,\"k\":" + expected + "}") << depth;
    EXPECT_LE(bytes_moved_by(dropped), 5 * dropped.size()) << depth;
  }

  // Random documents: any key order, repeats, nesting and whitespace.
  std::mt19937 random(7);
  const char* const keys[] = {"a",  "b",        "ab", "\\\"", "\\u0041",
                              "A",  "\\n",      "z",  "\\\\", "\xc3\xa9"};
  std::string text;
  const auto add_value = [&](const auto& self, int depth) -> void {
    const auto kind = static_cast<unsigned>(random() % (depth > 8 ? 3u : 6u));
    if (kind == 0) text += std::to_string(static_cast<int>(random() % 200) - 100);
    if (kind == 1) text += "\"v\"";
    if (kind == 2) text += "1.50";
    if (kind == 3) {
      text += "[";
      for (unsigned i = 0, n = static_cast<unsigned>(random() % 4); i < n; ++i) {
        if (i != 0) text += ",";
        self(self, depth + 1);
      }
      text += "]";
    }
    if (kind >= 4) {
      text += "{ ";
      const auto members = static_cast<unsigned>(random() % (depth < 2 ? 30u : 5u));
      for (unsigned i = 0; i < members; ++i) {
        if (i != 0) text += " , ";
        text += '"';
        text += keys[random() % std::size(keys)];
        text += "\": ";
        self(self, depth + 1);
      }
      text += "}";
    }
  };
  for (int round = 0; round < 2000; ++round) {
    text.clear();
    add_value(add_value, 0);
    compact(text);
    EXPECT_LE(bytes_moved_by(text), 5 * text.size()) << text;
  }
}

// Readers keep scratch space per thread; threads must not see each other's.
TEST(JsonThreads, ReadersOnManyThreadsDoNotMix) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string n = std::to_string(t);
      const std::string text = "{\"z\":[" + n + ",{\"y\":\"" + n + "\",\"x\":" + n + "}],\"a\":" + n + "}";
      const std::string expected = "{\"a\":" + n + ",\"z\":[" + n + ",{\"x\":" + n + ",\"y\":\"" + n + "\"}]}";
      for (int i = 0; i < 2000; ++i) {
        auto streamed = canonicalize(text);
        auto tree = parse(text);
        if (!streamed || *streamed != expected || !tree || write(*tree) != expected) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(JsonCorpus, PublicTestSuite) {
  const std::filesystem::path directory = test_data_folder() / "JSONTestSuite" / "test_parsing";
  REQUIRE_TEST_DATA(directory);
  int accepted = 0;
  int refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    const std::string text = read_file(entry.path());
    const char verdict = name[0];
    auto value = parse(text);
    auto streamed = canonicalize(text);
    expect_shaped_form_agrees(text, streamed);
    const auto checked = validate(text);
    EXPECT_EQ(checked ? checked->text() : "", value ? "" : value.error().text()) << name;
    if (value) {
      EXPECT_NE(verdict, 'n') << name << " was accepted";
      ++accepted;
      const std::string once = write(*value);
      ASSERT_TRUE(streamed.has_value()) << name;
      EXPECT_EQ(*streamed, once) << name;
      auto again = parse(once);
      ASSERT_TRUE(again.has_value()) << name;
      EXPECT_EQ(*again, *value) << name;
      EXPECT_EQ(write(*again), once) << name;
    } else {
      EXPECT_NE(verdict, 'y') << name << ": " << value.error().text();
      ++refused;
      const Error& error = value.error();
      EXPECT_TRUE(position_inside(text, error.line, error.column)) << name << ": " << error.text();
      ASSERT_FALSE(streamed.has_value()) << name;
      EXPECT_EQ(streamed.error().text(), error.text()) << name;
    }
  }
  EXPECT_GT(accepted, 90);
  EXPECT_GT(refused, 180);
}

}  // namespace
}  // namespace vennu::json
