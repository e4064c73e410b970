#include "base/quoted_text.h"

#include <gtest/gtest.h>

namespace vennu {
namespace {

TEST(QuotedText, EscapesWhatIsNotPrintable) {
  struct Case {
    const char* name;
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"empty", "", R"("")"},
      {"plain", "myapp", R"("myapp")"},
      {"named escapes", "a\tb\"c\\d\re\nf", R"("a\tb\"c\\d\re\nf")"},
      {"NUL", std::string("x\0y", 3), R"("x\0y")"},
      {"escape control", "\x1b[0m", R"("\u{1b}[0m")"},
      {"DEL", "\x7f", R"("\u{7f}")"},
      {"ASCII space", "a b", R"("a b")"},
      {"no-break space", "\u00a0", R"("\u{a0}")"},
      {"ideographic space", "\u3000", R"("\u{3000}")"},
      {"line separator", "\u2028", R"("\u{2028}")"},
      {"soft hyphen", "\u00ad", R"("\u{ad}")"},
      {"zero width space", "\u200b", R"("\u{200b}")"},
      {"zero width joiner", "\u200d", R"("\u{200d}")"},
      {"combining acute", "e\u0301", R"("e\u{301}")"},
      {"variation selector", "\u2764\ufe0f", "\"\u2764\\u{fe0f}\""},
      {"private use", "\ue000", R"("\u{e000}")"},
      {"unassigned", "\u0378", R"("\u{378}")"},
      {"unassigned astral", "\U0010ffff", R"("\u{10ffff}")"},
      {"encoded surrogate", "\xed\xa0\x80", R"("\u{d800}")"},
      {"letters outside ASCII", "caf\u00e9 \u00dcber \u65e5\u672c",
       "\"caf\u00e9 \u00dcber \u65e5\u672c\""},
      {"single quote", "it's", R"("it's")"},
      {"emoji", "\U0001f600", "\"\U0001f600\""},
      {"malformed byte", "a\xffz", "\"a\ufffdz\""},
      {"truncated sequence", "\xc3", "\"\ufffd\""},
  };
  for (const Case& c : cases) EXPECT_EQ(quote_text(c.text), c.quoted) << c.name;
}

TEST(QuotedText, TableBoundaries) {
  struct Case {
    char32_t code_point;
    bool escaped;
  };
  const Case cases[] = {
      {0x00, true},    {0x1f, true},     {0x20, false},    {0x7e, false},    {0x7f, true},
      {0x9f, true},    {0xa0, true},     {0xa1, false},    {0x2ff, false},   {0x300, true},
      {0x36f, true},   {0x370, false},   {0xd7fb, false},  {0xd7fc, true},   {0xdfff, true},
      {0xf8ff, true},  {0xf900, false},  {0xfffd, false},  {0xffff, true},   {0x1f600, false},
      {0xe0001, true}, {0x10fffd, true}, {0x10ffff, true}, {0x1fae9, false}, {0x0cc0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(needs_unicode_escape(c.code_point), c.escaped) << std::hex << +c.code_point;
  }
}

}  // namespace
}  // namespace vennu
