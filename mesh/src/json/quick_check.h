// Quick checks of the plain JSON texts small calls carry, ahead of the full
// reader and the canonicalizer: one loop over the text with an explicit
// stack, no recursion, no error to keep.
//
// quick_check vouches for a text only when it has seen the whole text follow
// the grammar, the nesting limit and the number range validate applies, so a
// text it vouches for is one validate accepts. Anything it does not follow to
// the end (every invalid text, and valid ones nested deeper than
// kQuickCheckDepth or with numbers it cannot place in range at a glance) it
// leaves to the full reader, which also gives the error.
//
// quick_check_canonical vouches, within the same limits, only for a text
// that is its own compact form: no whitespace, only the escapes the compact
// form writes and none in keys, keys strictly ascending, every number
// written as the compact form writes it. Programs
// that keep JSON in that form send it back so, and it is then copied as it
// is instead of being read and written again.
//
// Thread safety: pure functions.

#pragma once

#include <string_view>

#include "base/text_shape.h"

namespace vennu::json {

// Deeper texts are left to the full reader; below its own limit (kMaxDepth).
inline constexpr int kQuickCheckDepth = 64;

// True only for a text that validate accepts; false for a text it does not
// vouch for, valid or not.
bool quick_check(std::string_view text);

// True only for a text that canonicalize gives back unchanged, setting shape
// to its shape_of; false (shape unspecified) for a text it does not vouch
// for, in compact form or not.
bool quick_check_canonical(std::string_view text, TextShape& shape);

}  // namespace vennu::json
