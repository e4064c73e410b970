// The quoted text form used in messages and summaries: the text between
// double quotes, with '"' and '\' backslash-escaped, tab, carriage return,
// line feed and NUL as \t \r \n \0, and every character that is not
// printable or that extends a grapheme as \u{hex} (lowercase, no leading
// zeros). Everything else, non-ASCII letters and the single quote included,
// is copied as it is.
//
// Printability and grapheme extension come from a range table generated from
// the Unicode Character Database (tools/gen_unicode_table.py).

#pragma once

#include <string>
#include <string_view>

namespace vennu {

// text must be valid UTF-8.
std::string quote_text(std::string_view text);

// True when the code point is written as \u{...} by quote_text (the named
// escapes aside).
bool needs_unicode_escape(char32_t code_point);

}  // namespace vennu
