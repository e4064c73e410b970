// A quick check of the plain JSON texts small calls carry, ahead of the full
// reader: one loop over the text with an explicit stack, no recursion, no
// error to keep. It vouches for a text only when it has seen the whole text
// follow the grammar, the nesting limit and the number range validate
// applies, so a text it vouches for is one validate accepts. Anything it
// does not follow to the end (every invalid text, and valid ones nested
// deeper than kQuickCheckDepth or with numbers it cannot place in range at
// a glance) it leaves to the full reader, which also gives the error.
//
// Thread safety: a pure function.

#pragma once

#include <string_view>

namespace vennu::json {

// Deeper texts are left to the full reader; below its own limit (kMaxDepth).
inline constexpr int kQuickCheckDepth = 64;

// True only for a text that validate accepts; false for a text it does not
// vouch for, valid or not.
bool quick_check(std::string_view text);

}  // namespace vennu::json
