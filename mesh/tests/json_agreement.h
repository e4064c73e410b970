// The agreement of the JSON reading paths, for the JSON tests: the tree
// (parse then write), the canonicalizer in both its forms, and validate must
// give the same compact text or the same error for every input.

#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/text_shape.h"
#include "json/json.h"

namespace vennu::json {

struct Case {
  std::string input;
  std::string expected;  // compact text, or the full error text
};

// The canonicalizer that appends and reports the shape writes what the
// plain one returns, after what out held, and leaves out alone on failure;
// its shape is that of the text it appended, measured again.
inline void expect_shaped_form_agrees(std::string_view text,
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
inline std::string compact(std::string_view text) {
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

}  // namespace vennu::json
