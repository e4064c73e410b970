// The scanning steps shared by the JSON readers: the tree and pull reader
// (json_reader.h) and the canonicalizer (json_canonical.h).
//
// A Scanner walks one text and records its first failure. Each step takes a
// cursor and returns it past what it read, or nullptr once it has recorded a
// failure; a cursor passed by value stays in a register, where a member
// would go through memory on every byte. A failure is positioned at the
// last byte consumed: a step that fails on the next byte consumes that byte
// first, and a failure at the end points at the last byte. Nesting is
// counted by open_level and the steps that close a level, and opening level
// kMaxDepth + 1 fails with "recursion limit exceeded".
//
// Strings are scanned into a sink, which receives runs of bytes that need no
// escaping and the characters that escapes stand for; the three sinks below
// decode, rewrite in compact form, or drop. A short string that is one plain
// run reaches the sink through short_run, which may read kShortRun bytes
// from the run's start, past its end.
//
// Header-only, so that the steps inline into the loops of each reader.
//
// Thread safety: a Scanner is used by one thread at a time.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "base/text_shape.h"
#include "json/error.h"
#include "json/escapes.h"
#include "json/number.h"
#include "json/string_runs.h"
#include "json/utf8.h"

namespace vennu::json {

inline constexpr int kMaxDepth = 127;

// What a step over a container found: another item, the end of the
// container (consumed, which leaves the level), or a failure.
enum class ScanStep : std::uint8_t { kItem, kEnd, kFailed };

// A multi-byte UTF-8 sequence in the text reaches run with its neighbours;
// sequence tells of each one first (its lead byte and size), for a sink that
// measures the text.
struct DecodedSink {
  std::string& out;
  void run(const char* begin, const char* end) { out.append(begin, end); }
  void short_run(const char* begin, std::size_t size) { out.append(begin, size); }
  void sequence(unsigned char, std::size_t) {}
  void code_point(char32_t cp) {
    char bytes[4];
    out.append(bytes, write_utf8(bytes, cp));
  }
};

// Writes the compact form into room made beforehand: it is never longer
// than the text read, but a short run writes kShortRun bytes (one block
// copy) however short it is, so the room must also hold the whole of any
// short run's read. It measures what it writes beyond ASCII as it goes, so
// that the compact form's shape needs no second pass over it.
struct CompactSink {
  char* out;
  // An escape was written, so the written bytes may sort apart from the
  // bytes they stand for (see compare_keys).
  bool escaped = false;
  // Of the characters beyond U+007F written: the bytes past the first of
  // each, and the widest.
  std::size_t extra_bytes = 0;
  CharWidth width = CharWidth::kAscii;
  void run(const char* begin, const char* end) {
    const auto size = static_cast<std::size_t>(end - begin);
    copy_bytes(out, begin, size);
    out += size;
  }
  void short_run(const char* begin, std::size_t size) {
    std::memcpy(out, begin, kShortRun);
    out += size;
  }
  void sequence(unsigned char lead, std::size_t size) {
    extra_bytes += size - 1;
    width = std::max(width, width_of_utf8_lead(lead));
  }
  void code_point(char32_t cp) {
    escaped = true;
    if (cp < 0x80) {
      const auto c = static_cast<unsigned char>(cp);
      out = needs_escape(c) ? write_escape(out, c) : write_utf8(out, cp);
      return;
    }
    const char* const begin = out;
    out = write_utf8(out, cp);
    sequence(static_cast<unsigned char>(*begin), static_cast<std::size_t>(out - begin));
  }
};

struct DiscardSink {
  void run(const char*, const char*) {}
  void short_run(const char*, std::size_t) {}
  void sequence(unsigned char, std::size_t) {}
  void code_point(char32_t) {}
};

inline const char* skip_json_space(const char* p, const char* end) {
  // Most steps meet a byte above ' ' at once: one comparison rules it out.
  while (p != end && static_cast<unsigned char>(*p) <= ' ' &&
         (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) {
    ++p;
  }
  return p;
}

inline const char* skip_digits(const char* p, const char* end) {
  for (; end - p >= 8; p += 8) {
    const std::uint64_t word = load_word(p);
    const std::uint64_t non_digits =
        bytes_below(word, '0') | (~bytes_below(word, '9' + 1) & kHighBits);
    if (non_digits != 0) return p + first_flagged_byte(non_digits);
  }
  while (p != end && is_digit(*p)) ++p;
  return p;
}

class Scanner {
 public:
  explicit Scanner(std::string_view text)
      : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}

  // The cursor of the public steps: where the last successful one left off.
  const char* cursor() const { return cur_; }
  const char* end() const { return end_; }

  // Moves the cursor to p, unless a step failed (p is nullptr).
  bool advance(const char* p) {
    if (p == nullptr) return false;
    cur_ = p;
    return true;
  }

  // Skips whitespace at the cursor; returns the next byte (0-255)
  // unconsumed, or -1 at the end of the text.
  int peek() {
    cur_ = skip_space(cur_);
    return cur_ == end_ ? -1 : static_cast<unsigned char>(*cur_);
  }
  // Consumes the byte at the cursor, known to be there.
  void consume() { ++cur_; }
  // Leaves a level whose closing bracket was consumed.
  void close_level() { --depth_; }

  // Succeeds when only whitespace is left.
  bool finish() { return peek() == -1 || fail_on_next("trailing characters"); }

  // Records a failure at the cursor; returns false.
  bool fail(std::string message) {
    if (failed_) return false;
    failed_ = true;
    const std::string_view consumed(begin_, static_cast<std::size_t>(cur_ - begin_));
    const std::size_t last_break = consumed.rfind('\n');
    error_.message = std::move(message);
    error_.line = 1 + static_cast<std::size_t>(std::count(consumed.begin(), consumed.end(), '\n'));
    error_.column =
        last_break == std::string_view::npos ? consumed.size() : consumed.size() - last_break - 1;
    return false;
  }
  // Consumes the next byte (unless at the end), then fails there.
  bool fail_on_next(std::string message) {
    if (cur_ != end_) ++cur_;
    return fail(std::move(message));
  }

  bool failed() const { return failed_; }
  const Error& error() const { return error_; }

  // Records a failure after the bytes before at; returns nullptr.
  std::nullptr_t fail_at(const char* at, const char* message) {
    cur_ = at;
    fail(message);
    return nullptr;
  }
  // Consumes the byte at p (unless at the end), then fails there.
  std::nullptr_t fail_on(const char* p, const char* message) {
    return fail_at(p == end_ ? p : p + 1, message);
  }
  // Turns a failure just recorded into the step that reports it.
  static ScanStep failed_step(std::nullptr_t) { return ScanStep::kFailed; }
  // The failure where a value was wanted at p.
  std::nullptr_t not_a_value(const char* p) {
    if (p == end_) return fail_at(p, "EOF while parsing a value");
    return fail_on(p, "expected value");
  }

  const char* skip_space(const char* p) const { return skip_json_space(p, end_); }

  // p is at '[' or '{'.
  const char* open_level(const char* p) {
    if (depth_ == kMaxDepth) return fail_on(p, "recursion limit exceeded");
    ++depth_;
    return p + 1;
  }

  // Before each element of an array (first before the first): kItem when a
  // value follows at p, kEnd past the ']'.
  ScanStep scan_element(const char*& p, bool first) {
    p = skip_space(p);
    if (p != end_ && *p == ']') {
      ++p;
      --depth_;
      return ScanStep::kEnd;
    }
    if (!first) {
      if (p == end_) return failed_step(fail_at(p, "EOF while parsing a list"));
      if (*p != ',') return failed_step(fail_on(p, "expected `,` or `]`"));
      p = skip_space(p + 1);
      if (p != end_ && *p == ']') return failed_step(fail_on(p, "trailing comma"));
    }
    if (p == end_) {
      return failed_step(
          fail_at(p, first ? "EOF while parsing a list" : "EOF while parsing a value"));
    }
    return ScanStep::kItem;
  }

  // Before each member of an object: kItem when a key string follows at p,
  // kEnd past the '}'.
  ScanStep scan_key(const char*& p, bool first) {
    p = skip_space(p);
    if (p != end_ && *p == '}') {
      ++p;
      --depth_;
      return ScanStep::kEnd;
    }
    if (!first) {
      if (p == end_) return failed_step(fail_at(p, "EOF while parsing an object"));
      if (*p != ',') return failed_step(fail_on(p, "expected `,` or `}`"));
      p = skip_space(p + 1);
      if (p != end_ && *p == '}') return failed_step(fail_on(p, "trailing comma"));
    }
    if (p != end_ && *p == '"') return ScanStep::kItem;
    if (p == end_) {
      return failed_step(
          fail_at(p, first ? "EOF while parsing an object" : "EOF while parsing a value"));
    }
    return failed_step(fail_on(p, "key must be a string"));
  }

  const char* scan_colon(const char* p) {
    p = skip_space(p);
    if (p != end_ && *p == ':') return p + 1;
    if (p == end_) return fail_at(p, "EOF while parsing an object");
    return fail_on(p, "expected `:`");
  }

  const char* scan_literal(const char* p, std::string_view word);

  // p is at the opening quote.
  template <class Sink>
  const char* scan_string(const char* p, Sink& sink);

  // p is at a '-' or a digit.
  const char* scan_number(const char* p, NumberText& number);

  // A number at p into its compact form.
  const char* scan_compact_number(const char* p, CompactNumber& out) {
    NumberText number;
    p = scan_number(p, number);
    if (p == nullptr) return nullptr;
    if (!compact_number(number, out)) return out_of_range(number);
    return p;
  }

  // The nearest double of a number; false once "number out of range" is
  // recorded.
  bool number_double(const NumberText& number, double& out) {
    return to_double(number, out) || out_of_range(number) != nullptr;
  }

  // number_double's verdict without its value.
  bool number_in_range(const NumberText& number) {
    return in_double_range(number) || out_of_range(number) != nullptr;
  }

 private:
  std::nullptr_t out_of_range(const NumberText& number) {
    return fail_at(number.end, "number out of range");
  }

  // The string whose plain run starts at run, from p on, where that run is
  // still to be ended.
  template <class Sink>
  const char* scan_string_from(const char* run, const char* p, Sink& sink);
  // p is past the backslash.
  template <class Sink>
  const char* scan_escape(const char* p, Sink& sink);
  const char* scan_hex4(const char* p, unsigned& out);
  const char* scan_utf8_sequence(const char* p);

  const char* begin_;
  const char* cur_;
  const char* end_;
  int depth_ = 0;
  bool failed_ = false;
  Error error_;
};

inline const char* Scanner::scan_literal(const char* p, std::string_view word) {
  for (const char expected : word) {
    if (p == end_) return fail_at(p, "EOF while parsing a value");
    if (*p != expected) return fail_on(p, "expected ident");
    ++p;
  }
  return p;
}

template <class Sink>
[[gnu::always_inline]] inline const char* Scanner::scan_string(const char* p, Sink& sink) {
  const char* const run = p + 1;
  std::size_t plain = 0;
  if (static_cast<std::size_t>(end_ - run) >= kShortRun) {
    plain = short_run_length<RunEnd::kReading>(run);
    if (plain != kShortRun && run[plain] == '"') {
      sink.short_run(run, plain);
      return run + plain + 1;
    }
  }
  return scan_string_from(run, run + plain, sink);
}

template <class Sink>
[[gnu::noinline]] const char* Scanner::scan_string_from(const char* run, const char* p,
                                                        Sink& sink) {
  for (;;) {
    p = find_run_end<RunEnd::kReading>(p, end_, begin_);
    if (p == end_) return fail_at(p, "EOF while parsing a string");
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      sink.run(run, p);
      return p + 1;
    }
    if (c == '\\') {
      sink.run(run, p);
      p = scan_escape(p + 1, sink);
      if (p == nullptr) return nullptr;
      run = p;
    } else if (c < 0x20) {
      return fail_on(p, "control character (\\u0000-\\u001F) found while parsing a string");
    } else {
      // Non-ASCII text comes in runs; check it without going back to the
      // run search after every character.
      do {
        const char* const lead = p;
        p = scan_utf8_sequence(p);
        if (p == nullptr) return nullptr;
        sink.sequence(static_cast<unsigned char>(*lead), static_cast<std::size_t>(p - lead));
      } while (p != end_ && static_cast<unsigned char>(*p) >= 0x80);
    }
  }
}

template <class Sink>
const char* Scanner::scan_escape(const char* p, Sink& sink) {
  if (p == end_) return fail_at(p, "EOF while parsing a string");
  char32_t cp = 0;
  const char letter = *p++;
  if (letter == 'u') {
    unsigned unit = 0;
    p = scan_hex4(p, unit);
    if (p == nullptr) return nullptr;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_at(p, "invalid unicode code point");
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      for (const char expected : {'\\', 'u'}) {
        if (p == end_) return fail_at(p, "EOF while parsing a string");
        if (*p != expected) return fail_on(p, "unexpected end of hex escape");
        ++p;
      }
      unsigned low = 0;
      p = scan_hex4(p, low);
      if (p == nullptr) return nullptr;
      if (low < 0xDC00 || low > 0xDFFF) return fail_at(p, "lone leading surrogate in hex escape");
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    cp = unit;
  } else {
    const int byte = short_escape_byte(letter);
    if (byte < 0) return fail_at(p, "invalid escape");
    cp = static_cast<char32_t>(byte);
  }
  sink.code_point(cp);
  return p;
}

inline const char* Scanner::scan_hex4(const char* p, unsigned& out) {
  out = 0;
  for (int i = 0; i < 4; ++i) {
    if (p == end_) return fail_at(p, "EOF while parsing a string");
    const int digit = hex_digit(*p);
    if (digit < 0) return fail_on(p, "invalid escape");
    ++p;
    out = out << 4 | static_cast<unsigned>(digit);
  }
  return p;
}

// One multi-byte UTF-8 sequence at p, checked against the well-formed byte
// ranges.
inline const char* Scanner::scan_utf8_sequence(const char* p) {
  const Utf8Lead lead = kUtf8Leads[static_cast<unsigned char>(*p)];
  if (lead.continuations == 0) return fail_on(p, "invalid unicode code point");
  ++p;
  unsigned char low = lead.low;
  unsigned char high = lead.high;
  for (int i = 0; i < lead.continuations; ++i) {
    if (p == end_) return fail_at(p, "EOF while parsing a string");
    const auto c = static_cast<unsigned char>(*p);
    if (c < low || c > high) return fail_on(p, "invalid unicode code point");
    ++p;
    low = 0x80;
    high = 0xBF;
  }
  return p;
}

inline const char* Scanner::scan_number(const char* p, NumberText& number) {
  if (*p == '-') {
    number.negative = true;
    ++p;
  }
  number.integer = p;
  if (p == end_) return fail_at(p, "EOF while parsing a value");
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) return fail_on(p, "invalid number");
  } else if (is_digit(*p)) {
    p = skip_digits(p, end_);
  } else {
    return fail_on(p, "invalid number");
  }
  number.integer_end = p;
  if (p != end_ && *p == '.') {
    ++p;
    if (p == end_) return fail_at(p, "EOF while parsing a value");
    if (!is_digit(*p)) return fail_on(p, "invalid number");
    p = skip_digits(p, end_);
  }
  number.fraction_end = p;
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_) return fail_at(p, "EOF while parsing a value");
    if (!is_digit(*p)) return fail_on(p, "invalid number");
    p = skip_digits(p, end_);
  }
  number.end = p;
  return p;
}

}  // namespace vennu::json
