#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <string>

#include "json/json.h"
#include "json_agreement.h"

namespace vennu::json {
namespace {

// The shape comes from the characters written, escaped or not, at each
// width's edges, and from what is left of an object whose repeated keys
// were dropped with the widest or the only wide characters in them.
TEST(JsonCanonical, StringsKnowTheirShape) {
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

// Reordering must not move a member again for every enclosing object that is
// reordered too: the bytes moved (out to scratch and back) stay within five
// times the text at any depth.
TEST(JsonCanonical, ReorderingMovesEachByteAFewTimesAtAnyDepth) {
  const auto bytes_moved_by = [](const std::string& text) {
    const std::uint64_t before = TEST_reordered_bytes_on_this_thread();
    EXPECT_TRUE(canonicalize(text).has_value()) << text.substr(0, 80);
    return TEST_reordered_bytes_on_this_thread() - before;
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
  const char* const keys[] = {"a", "b",   "ab", "\\\"", "\\u0041",
                              "A", "\\n", "z",  "\\\\", "\xc3\xa9"};
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

}  // namespace
}  // namespace vennu::json
