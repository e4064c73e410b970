#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "json.h"

namespace vennu::json {
namespace {

struct Case {
  std::string input;
  std::string expected;  // compact text, or the full error text
};

// Both reading paths (tree and streaming) must give the same text or error.
std::string compact(std::string_view text) {
  auto tree = parse(text);
  auto streamed = canonicalize(text);
  const std::string via_tree = tree ? write(*tree) : tree.error().text();
  const std::string via_stream = streamed ? *streamed : streamed.error().text();
  EXPECT_EQ(streamed.has_value(), tree.has_value()) << text;
  EXPECT_EQ(via_stream, via_tree) << text;
  return via_tree;
}

// True when (line, column) names a byte of the text, or column 0 of a line.
bool position_inside(std::string_view text, std::size_t line, std::size_t column) {
  std::size_t line_start = 0;
  for (std::size_t n = 1; n < line; ++n) {
    line_start = text.find('\n', line_start);
    if (line_start == std::string_view::npos) return false;
    ++line_start;
  }
  const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
  return line >= 1 && column <= line_end - line_start;
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
      {"1" + std::string(400, '0') + "e-399", "10.0"},
      {"0.3e+1", "3.0"},
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
      {"[-1e999999999999999999]", "number out of range at line 1 column 22"},
      {"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
      {"\n\n  x", "expected value at line 3 column 3"},
  };
  for (const Case& c : cases) EXPECT_EQ(compact(c.input), c.expected) << c.input;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(JsonCorpus, PublicTestSuite) {
  const std::filesystem::path directory = std::filesystem::path(MESH_CORPUS_DIR) / "test_parsing";
  ASSERT_TRUE(std::filesystem::is_directory(directory)) << directory;
  int accepted = 0;
  int refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    const std::string text = read_file(entry.path());
    const char verdict = name[0];
    auto value = parse(text);
    auto streamed = canonicalize(text);
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
