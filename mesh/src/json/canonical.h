// The canonicalizer: a JSON text to its compact form without building a
// tree. It reads with the readers' steps, so it accepts what parse accepts
// and fails with parse's errors, and it writes what write(parse(text)) would
// give: members in key order, the last of repeated keys kept. A text that
// quick_check_canonical finds in that form already is copied as it is.
//
// Thread safety: may run on many threads at once; keeps reusable scratch
// space per thread, so a small text allocates nothing beyond what it
// returns.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "base/text_shape.h"
#include "json/error.h"

namespace vennu::json {

// Parses one complete JSON text and returns its compact form: the same text
// write(parse(text)) would give, without keeping the tree when it is not
// needed.
Expected<std::string, Error> canonicalize(std::string_view text);

// canonicalize for a caller that keeps the compact form: appends it to out
// (which it leaves as it was on failure) and sets shape to its shape_of
// (text_shape.h), found while writing it rather than by reading it again.
std::optional<Error> canonicalize(std::string_view text, std::string& out, TextShape& shape);

// For testing.

// The number of bytes the canonicalize calls of this thread have moved so
// far to put object members in key order: a work counter, which tests use to
// show that reordering costs time in proportion to the text at any depth.
std::uint64_t TEST_reordered_bytes_on_this_thread();

}  // namespace vennu::json
