#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"
#include "json/quick_check.h"
#include "json/structural_index.h"
#include "json_agreement.h"
#include "test_data.h"
#include "text_position.h"

namespace vennu::json {
namespace {

TEST(JsonReader, DecodesEscapes) {
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

TEST(JsonReader, DepthLimitIsEnforcedBeforeRecursing) {
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
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"[\n\"a\n\"]",
       "control character (\\u0000-\\u001F) found while parsing a string at line 3 column 0"},
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

// validate's quick pass vouches for plain texts up to its limits and leaves
// the rest to the full reader; either way validate agrees with parse.
TEST(JsonReader, QuickCheckVouchesOnlyWithinItsLimits) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  const std::string digits(200, '7');
  const std::string vouched[] = {
      "{\"a\":[1,-0.5e-12,true,false,null,\"\\u00e9\\n\\/\"],\"b\":{}}",
      " [ 0 , 1E+99 , \"caf\xc3\xa9 \xf0\x9f\x98\x80\" ] \n",
      nested(kQuickCheckDepth),
      digits + ".5",
      std::string(1, '"').append(40, 'x').append("\\t\""),
  };
  for (const std::string& text : vouched) {
    EXPECT_TRUE(quick_check(text)) << text;
    EXPECT_EQ(compact(text).find(" at line "), std::string::npos) << text;
  }
  const std::string left[] = {
      nested(kQuickCheckDepth + 1),
      digits + "7",
      "1e100",
      "\"\\ud83d\\ude00\"",
      "1e400",
      "[1,]",
      "{\"a\":1,}",
      "\"\xed\xa0\x80\"",
      "01",
      "[1e308, 1e309]",
      "\"\x01\"",
  };
  for (const std::string& text : left) {
    EXPECT_FALSE(quick_check(text)) << text;
    compact(text);
  }
}

// The compact check lets a text through as it is, so it must never vouch
// for one that the canonicalizer would change.
TEST(JsonReader, QuickCanonicalCheckVouchesOnlyForCompactTexts) {
  const std::string vouched[] = {
      "{\"a\":[1,-0.5,true,false,null,\"caf\xc3\xa9 \xf0\x9f\x98\x80\"],\"ab\":{},\"b\":-12}",
      "[{\"b\":1,\"c\":{\"a\":2}},{\"a\":0.00012,\"b\":123456789012345678}]",
      "[167.0,-3.0,100.0,123456789012345.0]",
      "\"\xc4\x80\"",
      R"({"a":"q\"b\\s\b\f\n\r\t\u0000\u001f"})",
      "[1e-7,2.5e+20,-6.02e+23,1e+16,-1e-6,1.2345678901234567e+300,1.7976931348623157e+308,5e-324]",
  };
  for (const std::string& text : vouched) {
    TextShape shape;
    EXPECT_TRUE(quick_check_canonical(text, shape)) << text;
    EXPECT_EQ(compact(text), text);
    EXPECT_EQ(shape.code_points, shape_of(text).code_points) << text;
    EXPECT_EQ(shape.width, shape_of(text).width) << text;
  }
  const std::string left[] = {
      "{\"a\": 1}",
      " 1",
      "[1 ]",
      "{\"b\":1,\"a\":2}",
      "{\"a\":1,\"a\":2}",
      "{\"ab\":1,\"a\":2}",
      "{\"a\":{\"b\":1},\"a\":0}",
      "\"\\/\"",
      "-0",
      "1.50",
      "0.0",
      "-0.0",
      "1.00",
      "1234567890123456.0",
      "1e5",
      "0.000001",
      "18446744073709551616",
      "0.1234567890123456",
      "[1,]",
      R"({"a\n":1})",
      R"("\u0041")",
      R"("\u001F")",
      R"("\u0008")",
      R"("\u0022")",
  };
  for (const std::string& text : left) {
    TextShape shape;
    EXPECT_FALSE(quick_check_canonical(text, shape)) << text;
    compact(text);
  }
  // Each key is held against the one before it, not only against the first;
  // a number's exponent form is the compact one only as the writer writes it.
  const Case rewritten[] = {
      {R"({"a":1,"c":2,"b":3})", R"({"a":1,"b":3,"c":2})"},
      {R"({"a":1,"c":2,"c":3})", R"({"a":1,"c":3})"},
      {R"({"a":1,"b":2,"d":3,"c":4,"e":5})", R"({"a":1,"b":2,"c":4,"d":3,"e":5})"},
      {R"([{"a":{"a":1,"c":2,"b":3},"b":0}])", R"([{"a":{"a":1,"b":3,"c":2},"b":0}])"},
      {R"({"a":[{"a":1,"c":2,"c":3}],"b":0})", R"({"a":[{"a":1,"c":3}],"b":0})"},
      {"1E+16", "1e+16"},
      {"1e16", "1e+16"},
      {"1e+016", "1e+16"},
      {"1.0e+16", "1e+16"},
      {"10e+15", "1e+16"},
      {"1e+15", "1000000000000000.0"},
      {"1e-07", "1e-7"},
      {"0e+20", "0.0"},
      {"1e-5", "0.00001"},
      {"1.50e+20", "1.5e+20"},
      {"9.999999999999999e+22", "1e+23"},
      {"1.0000000000000001e+20", "1.0000000000000002e+20"},
      {"4.9406564584124654e-324", "5e-324"},
  };
  for (const Case& c : rewritten) {
    TextShape shape;
    EXPECT_FALSE(quick_check_canonical(c.input, shape)) << c.input;
    EXPECT_EQ(compact(c.input), c.expected);
  }
}

// The structural index byte by byte, as its header defines it.
std::vector<BlockMasks> reference_masks(std::string_view text) {
  std::string padded(text);
  padded.resize((text.size() + kIndexBlock - 1) / kIndexBlock * kIndexBlock, ' ');
  std::vector<BlockMasks> blocks(padded.size() / kIndexBlock, BlockMasks{});
  bool escaped = false;
  bool inside = false;
  bool after_plain = false;
  for (std::size_t i = 0; i < padded.size(); ++i) {
    const char c = padded[i];
    const std::uint64_t bit = std::uint64_t{1} << (i % kIndexBlock);
    BlockMasks& m = blocks[i / kIndexBlock];
    const bool quote = c == '"' && !escaped;
    const bool structural = std::string_view("{}[]:,").find(c) != std::string_view::npos;
    const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    const bool tail = inside;
    inside ^= quote;
    m.quotes |= quote ? bit : 0;
    m.backslashes |= c == '\\' ? bit : 0;
    m.in_string |= inside ? bit : 0;
    m.structurals |= structural && !inside ? bit : 0;
    m.whitespace |= space && !inside ? bit : 0;
    m.token_starts |= !tail && (structural || (!space && !after_plain)) ? bit : 0;
    after_plain = !structural && !space && !quote;
    escaped = c == '\\' && !escaped;
  }
  return blocks;
}

// Every kernel, asked for a few blocks at a time, gives the reference's
// masks and the offsets of their token starts.
void expect_kernels_agree(std::string_view text, const std::string& name) {
  const std::vector<BlockMasks> expected = reference_masks(text);
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    for (std::uint64_t bits = expected[i].token_starts; bits != 0; bits &= bits - 1) {
      starts.push_back(i * kIndexBlock + static_cast<std::size_t>(std::countr_zero(bits)));
    }
  }
  for (int k = 0; k < kIndexKernels; ++k) {
    const auto kernel = static_cast<IndexKernel>(k);
    IndexBuilder builder(text, kernel);
    std::vector<BlockMasks> masks(3);
    std::vector<std::size_t> positions(3 * kIndexBlock);
    std::vector<BlockMasks> all_masks;
    std::vector<std::size_t> all_positions;
    while (!builder.finished()) {
      const std::size_t before = builder.blocks_done();
      const std::size_t n = builder.next(positions.data(), positions.size(), masks.data());
      all_positions.insert(all_positions.end(), positions.begin(), positions.begin() + n);
      all_masks.insert(all_masks.end(), masks.begin(),
                       masks.begin() + (builder.blocks_done() - before));
    }
    ASSERT_EQ(all_masks.size(), expected.size()) << name;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_TRUE(all_masks[i] == expected[i])
          << name << " block " << i << " " << kernel_name(kernel);
    }
    ASSERT_EQ(all_positions, starts) << name << " " << kernel_name(kernel);
  }
}

TEST(JsonReader, IndexKernelsAgreeAtEveryOffset) {
  const std::string pieces[] = {"\"ab\\\"c\"",
                                "\\\\\\\"",
                                "\\\\\\\\\"x",
                                "-123.5e+7,",
                                "{\"k\":[true,null]}",
                                " \t\r\n",
                                "\"\xc3\xa9\\\\\"",
                                std::string(65, '\\') + "\"",
                                std::string(66, '\\') + "\""};
  for (const std::string& piece : pieces) {
    for (std::size_t offset = 0; offset < kIndexBlock; ++offset) {
      std::string text(offset, 'a');
      while (text.size() < 3 * kIndexBlock) text += piece;
      expect_kernels_agree(text, piece + " at " + std::to_string(offset));
    }
  }
  std::mt19937_64 random(31);
  const std::string alphabet = "\"\"\\\\\\{}[]:,  \n\t\r01-.eatrun\x80\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string text(static_cast<std::size_t>(random() % 400), ' ');
    for (char& c : text) c = alphabet[static_cast<std::size_t>(random() % alphabet.size())];
    expect_kernels_agree(text, "random " + std::to_string(round));
  }
  EXPECT_TRUE(kernel_available(IndexKernel::kPortable));
  EXPECT_TRUE(kernel_available(chosen_kernel()));
}

// A name chooses its kernel when this machine runs it, and the best one
// when it does not or names no kernel. The process chooses once, from the
// variable it was started with: ctest runs this test a second time with it
// set to portable.
TEST(JsonReader, TheKernelVariableChoosesTheKernel) {
  IndexKernel best = IndexKernel::kPortable;
  for (const IndexKernel wider : {IndexKernel::kSse2, IndexKernel::kNeon, IndexKernel::kAvx2}) {
    if (kernel_available(wider)) best = wider;
  }
  for (int k = 0; k < kIndexKernels; ++k) {
    const auto kernel = static_cast<IndexKernel>(k);
    EXPECT_EQ(kernel_named(std::string(kernel_name(kernel)).c_str()),
              kernel_available(kernel) ? kernel : best)
        << kernel_name(kernel);
  }
  EXPECT_EQ(kernel_named(nullptr), best);
  EXPECT_EQ(kernel_named("no-such-kernel"), best);
  EXPECT_EQ(chosen_kernel(), kernel_named(std::getenv("VENNU_MESH_JSON_KERNEL")));
}

// Readers keep scratch space per thread; threads must not see each other's.
TEST(JsonReaderConcurrency, ReadersOnManyThreadsDoNotMix) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string n = std::to_string(t);
      const std::string text =
          "{\"z\":[" + n + ",{\"y\":\"" + n + "\",\"x\":" + n + "}],\"a\":" + n + "}";
      const std::string expected =
          "{\"a\":" + n + ",\"z\":[" + n + ",{\"x\":" + n + ",\"y\":\"" + n + "\"}]}";
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

TEST(JsonReaderCorpus, PublicTestSuite) {
  const std::filesystem::path directory = test_data_folder() / "JSONTestSuite" / "test_parsing";
  REQUIRE_TEST_DATA(directory);
  int accepted = 0;
  int refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    const std::string text = read_file(entry.path());
    const char verdict = name[0];
    expect_kernels_agree(text, name);
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

// Strings are scanned several bytes at a time; what is found must not depend
// on where in a block it sits, nor on how much text follows.
TEST(JsonReader, SpecialBytesInStringsAreFoundAtEveryPosition) {
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
      {"\xf0\x9f\x98\x80\xe6\x97\xa5", "\xf0\x9f\x98\x80\xe6\x97\xa5",
       "\xf0\x9f\x98\x80\xe6\x97\xa5"},
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
    EXPECT_EQ(compact("[\"" + prefix + "\xc3\x28" + tail),
              "invalid unicode code point at line 1 column " + std::to_string(before + 4));
    EXPECT_EQ(compact("\"" + prefix),
              "EOF while parsing a string at line 1 column " + std::to_string(before + 1));
  }
}

}  // namespace
}  // namespace vennu::json
