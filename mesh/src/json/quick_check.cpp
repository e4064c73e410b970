#include "json/quick_check.h"

#include <cstdint>
#include <cstring>

#include "json/escapes.h"
#include "json/number.h"
#include "json/scanner.h"
#include "json/string_runs.h"
#include "json/utf8.h"

namespace vennu::json {
namespace {

static_assert(kQuickCheckDepth <= 64 && kQuickCheckDepth <= kMaxDepth,
              "the open containers are kept as the bits of one word");

// Numbers it places in range without reading them: at most this many
// integer digits and two exponent digits put the leading digit below
// 10^(kIntegerDigits + 99), far from the double range's 10^308.
constexpr std::ptrdiff_t kIntegerDigits = 200;
constexpr std::ptrdiff_t kExponentDigits = 2;

// What a check vouches for: a valid text, or one in compact form.
enum class Form : bool { kValid, kCanonical };

// Each step takes the cursor and returns it past what it read, or nullptr
// where the check gives up.
template <Form kForm>
class QuickCheck {
 public:
  explicit QuickCheck(std::string_view text)
      : begin_(text.data()), end_(text.data() + text.size()) {}

  // Of a text the compact check vouched for.
  TextShape shape() const {
    return {static_cast<std::size_t>(end_ - begin_) - continuation_bytes_, width_};
  }

  bool run() {
    const char* p = begin_;
    std::uint64_t objects = 0;  // one bit per open container, the innermost lowest
    int depth = 0;
    for (;;) {
      // A value is due at p.
      p = skip_space(p);
      if (p == end_) return false;
      const char first = *p;
      if (first == '{' || first == '[') {
        if (depth == kQuickCheckDepth) return false;
        ++depth;
        objects = objects << 1 | static_cast<std::uint64_t>(first == '{');
        p = skip_space(p + 1);
        if (p == end_) return false;
        if (*p == (first == '{' ? '}' : ']')) {
          ++p;
          --depth;
          objects >>= 1;
        } else {
          if (first == '{' && (p = key(p, depth, true)) == nullptr) return false;
          continue;
        }
      } else if ((p = scalar(p)) == nullptr) {
        return false;
      }
      // A value ended before p: close the containers it ends, up to the
      // next item.
      for (;;) {
        p = skip_space(p);
        if (depth == 0) return p == end_;
        if (p == end_) return false;
        const bool in_object = (objects & 1) != 0;
        if (*p == ',') {
          ++p;
          if (in_object && (p = key(skip_space(p), depth, false)) == nullptr) {
            return false;
          }
          break;
        }
        if (*p != (in_object ? '}' : ']')) return false;
        ++p;
        --depth;
        objects >>= 1;
      }
    }
  }

 private:
  static constexpr bool kCanonical = kForm == Form::kCanonical;

  // The compact form has no whitespace to skip: a byte of it is then where
  // a token is due, which fails the step that expects the token.
  const char* skip_space(const char* p) const {
    if constexpr (kCanonical) {
      return p;
    } else {
      return skip_json_space(p, end_);
    }
  }

  // A key and its colon, of the object at depth; in compact form it follows
  // the object's previous key strictly in byte order (an escape-free key's
  // bytes are the ones it stands for), which also rules out a repeated key.
  const char* key(const char* p, int depth, bool first) {
    if (p == end_ || *p != '"') return nullptr;
    const char* const key_end = string(p, StringRole::kKey);
    if (key_end == nullptr) return nullptr;
    if constexpr (kCanonical) {
      const std::string_view key(p + 1, static_cast<std::size_t>(key_end - p - 2));
      LastKey& last = last_keys_[depth - 1];
      if (!first && compare_bytes({last.data, last.size}, key) >= 0) return nullptr;
      last = {key.data(), key.size()};
    }
    p = skip_space(key_end);
    return p != end_ && *p == ':' ? p + 1 : nullptr;
  }

  const char* scalar(const char* p) {
    switch (*p) {
      case '"':
        return string(p, StringRole::kValue);
      case 't':
        return word(p, "true");
      case 'f':
        return word(p, "false");
      case 'n':
        return word(p, "null");
      default:
        return number(p);
    }
  }

  const char* word(const char* p, std::string_view expected) const {
    if (static_cast<std::size_t>(end_ - p) < expected.size()) return nullptr;
    return std::memcmp(p, expected.data(), expected.size()) == 0 ? p + expected.size() : nullptr;
  }

  // In compact form a key holds no escape: keys with escapes order by the
  // bytes they stand for, which is left to the canonicalizer.
  enum class StringRole : bool { kValue, kKey };

  // p is at the opening quote.
  const char* string(const char* p, StringRole role) {
    ++p;
    for (;;) {
      p = find_run_end<RunEnd::kReading>(p, end_, begin_);
      if (p == end_) return nullptr;
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"') return p + 1;
      if (c == '\\') {
        if constexpr (kCanonical) {
          if (role == StringRole::kKey) return nullptr;
          p = compact_escape(p);
        } else {
          p = escape(p + 1);
        }
      } else if (c >= 0x80) {
        // Text beyond Latin is sequence after sequence: the next one is
        // read at once, without looking for the end of a run first.
        do {
          p = utf8_sequence(p);
        } while (p != nullptr && p != end_ && static_cast<unsigned char>(*p) >= 0x80);
      } else {
        return nullptr;  // a control character
      }
      if (p == nullptr) return nullptr;
    }
  }

  // p is past the backslash. Surrogate escapes, which come in pairs, are
  // left to the full reader.
  const char* escape(const char* p) const {
    if (p == end_) return nullptr;
    if (*p != 'u') return short_escape_byte(*p) >= 0 ? p + 1 : nullptr;
    if (end_ - p < 5) return nullptr;
    int unit = 0;
    for (int i = 1; i <= 4; ++i) {
      const int digit = hex_digit(p[i]);
      if (digit < 0) return nullptr;
      unit = unit * 16 + digit;
    }
    return unit >= 0xD800 && unit <= 0xDFFF ? nullptr : p + 5;
  }

  // p is at the backslash. An escape is in compact form when the byte it
  // stands for needs one and writing that byte gives the escape back. Out
  // of line: escapes are rare, and inlined this would crowd the loop.
  [[gnu::noinline]] const char* compact_escape(const char* p) const {
    if (end_ - p < 2) return nullptr;
    int byte = short_escape_byte(p[1]);
    if (p[1] == 'u') {
      if (end_ - p < 6 || p[2] != '0' || p[3] != '0') return nullptr;
      const int high = hex_digit(p[4]);
      const int low = hex_digit(p[5]);
      if (high < 0 || low < 0) return nullptr;
      byte = high * 16 + low;
    }
    if (byte < 0) return nullptr;
    const auto c = static_cast<unsigned char>(byte);
    if (!needs_escape(c)) return nullptr;
    char written[6];
    const auto size = static_cast<std::size_t>(write_escape(written, c) - written);
    // Two or six bytes: a loop, where memcmp would be a call.
    for (std::size_t i = 0; i < size; ++i) {
      if (p[i] != written[i]) return nullptr;
    }
    return p + size;
  }

  const char* utf8_sequence(const char* p) {
    const auto first = static_cast<unsigned char>(*p);
    const Utf8Lead lead = kUtf8Leads[first];
    if (lead.continuations == 0 || end_ - p <= lead.continuations) return nullptr;
    const auto second = static_cast<unsigned char>(p[1]);
    if (second < lead.low || second > lead.high) return nullptr;
    for (int i = 2; i <= lead.continuations; ++i) {
      if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return nullptr;
    }
    if constexpr (kCanonical) {
      continuation_bytes_ += static_cast<std::size_t>(lead.continuations);
      width_ = std::max(width_, width_of_utf8_lead(first));
    }
    return p + 1 + lead.continuations;
  }

  const char* number(const char* p) const {
    NumberText number;
    number.negative = *p == '-';
    if (number.negative) ++p;
    if (p == end_) return nullptr;
    number.integer = p;
    if (*p == '0') {
      ++p;
    } else if (is_digit(*p)) {
      p = skip_digits(p, end_);
      if (p - number.integer > kIntegerDigits) return nullptr;
    } else {
      return nullptr;
    }
    number.integer_end = p;
    if (p != end_ && *p == '.') {
      ++p;
      if (p == end_ || !is_digit(*p)) return nullptr;
      p = skip_digits(p, end_);
    }
    number.fraction_end = p;
    if (p != end_ && (*p == 'e' || *p == 'E')) {
      ++p;
      if (p != end_ && (*p == '+' || *p == '-')) ++p;
      const char* const digits = p;
      p = skip_digits(p, end_);
      // The compact form's own test places its exponents in range.
      if (p == digits || (!kCanonical && p - digits > kExponentDigits)) return nullptr;
    }
    number.end = p;
    // A digit after a leading zero is refused by the full reader.
    if (p != end_ && is_digit(*p)) return nullptr;
    if constexpr (kCanonical) {
      if (!is_compact_number(number)) return nullptr;
    }
    return p;
  }

  const char* const begin_;
  const char* const end_;
  // For the compact form: the last key read in each open object, left
  // unset until its first key is read (the valid form keeps none), and the
  // shape of the strings.
  struct LastKey {
    const char* data;
    std::size_t size;
  };
  LastKey last_keys_[kCanonical ? kQuickCheckDepth : 1];
  std::size_t continuation_bytes_ = 0;
  CharWidth width_ = CharWidth::kAscii;
};

}  // namespace

bool quick_check(std::string_view text) { return QuickCheck<Form::kValid>(text).run(); }

bool quick_check_canonical(std::string_view text, TextShape& shape) {
  QuickCheck<Form::kCanonical> check(text);
  if (!check.run()) return false;
  shape = check.shape();
  return true;
}

}  // namespace vennu::json
