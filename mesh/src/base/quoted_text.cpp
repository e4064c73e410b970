#include "base/quoted_text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace vennu {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange kEscapedRanges[] = {
#include "base/unicode_table.inc"
};

constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t code_point;
  std::size_t length;
};

// Decodes one UTF-8 sequence. Encoded surrogates are decoded too, so that a
// text carried through with lone surrogates still shows them as escapes; any
// other malformed sequence decodes to U+FFFD, one byte at a time.
Decoded decode_utf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1};
  struct Form {
    std::size_t length;
    unsigned payload_mask;
    char32_t minimum;
  };
  Form form;
  if (lead >= 0xC2 && lead <= 0xDF) {
    form = {2, 0x1F, 0x80};
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    form = {3, 0x0F, 0x800};
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    form = {4, 0x07, 0x10000};
  } else {
    return {kReplacement, 1};
  }
  const std::size_t length = form.length;
  char32_t code_point = lead & form.payload_mask;
  if (text.size() - at < length) return {kReplacement, 1};
  for (std::size_t i = 1; i < length; ++i) {
    const auto continuation = static_cast<unsigned char>(text[at + i]);
    if ((continuation & 0xC0) != 0x80) return {kReplacement, 1};
    code_point = (code_point << 6) | (continuation & 0x3Fu);
  }
  if (code_point < form.minimum || code_point > 0x10FFFF) return {kReplacement, 1};
  return {code_point, length};
}

void append_hex(char32_t value, std::string& out) {
  constexpr char kDigits[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (count > 0) out.push_back(digits[--count]);
}

}  // namespace

bool needs_unicode_escape(char32_t code_point) {
  if (code_point >= 0x20 && code_point < 0x7F) return false;
  const auto* after = std::upper_bound(
      std::begin(kEscapedRanges), std::end(kEscapedRanges), code_point,
      [](char32_t value, const CodePointRange& range) { return value < range.first; });
  return after != std::begin(kEscapedRanges) && code_point <= std::prev(after)->last;
}

std::string quote_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t at = 0;
  while (at < text.size()) {
    const Decoded decoded = decode_utf8(text, at);
    switch (decoded.code_point) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (needs_unicode_escape(decoded.code_point)) {
          out += "\\u{";
          append_hex(decoded.code_point, out);
          out.push_back('}');
        } else if (decoded.code_point == kReplacement && decoded.length == 1) {
          out += "\xEF\xBF\xBD";
        } else {
          out.append(text, at, decoded.length);
        }
    }
    at += decoded.length;
  }
  out.push_back('"');
  return out;
}

}  // namespace vennu
