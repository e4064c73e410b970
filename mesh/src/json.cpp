#include "json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace vennu::json {
namespace {

// Bytes that a string literal carries as they are, in both directions. The
// reader validates bytes from 0x80 up as UTF-8 before copying them.
constexpr std::array<bool, 256> make_plain_ascii() {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x80; ++c) table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return table;
}
constexpr std::array<bool, 256> kPlainAscii = make_plain_ascii();

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void append_escape(unsigned char c, std::string& out) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\f': out += "\\f"; return;
    case '\r': out += "\\r"; return;
    default: {
      static constexpr char kHex[] = "0123456789abcdef";
      const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(escape, sizeof escape);
    }
  }
}

void append_utf8(char32_t cp, std::string& out) {
  auto byte = [](char32_t b) { return static_cast<char>(static_cast<unsigned char>(b)); };
  if (cp < 0x80) {
    out += byte(cp);
  } else if (cp < 0x800) {
    const char bytes[] = {byte(0xC0 | (cp >> 6)), byte(0x80 | (cp & 0x3F))};
    out.append(bytes, 2);
  } else if (cp < 0x10000) {
    const char bytes[] = {byte(0xE0 | (cp >> 12)), byte(0x80 | ((cp >> 6) & 0x3F)), byte(0x80 | (cp & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[] = {byte(0xF0 | (cp >> 18)), byte(0x80 | ((cp >> 12) & 0x3F)),
                          byte(0x80 | ((cp >> 6) & 0x3F)), byte(0x80 | (cp & 0x3F))};
    out.append(bytes, 4);
  }
}

// Receivers of a string's contents: runs of bytes that need no escaping, and
// the characters that escapes stand for.
struct DecodedSink {
  std::string& out;
  void run(const char* begin, const char* end) { out.append(begin, end); }
  void code_point(char32_t cp) { append_utf8(cp, out); }
};

struct CompactSink {
  std::string& out;
  void run(const char* begin, const char* end) { out.append(begin, end); }
  void code_point(char32_t cp) {
    if (cp < 0x80 && needs_escape(static_cast<unsigned char>(cp))) {
      append_escape(static_cast<unsigned char>(cp), out);
    } else {
      append_utf8(cp, out);
    }
  }
};

struct DiscardSink {
  void run(const char*, const char*) {}
  void code_point(char32_t) {}
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The decimal exponent of the first significant digit of a number text that
// passed the grammar, saturated well inside int64; only its sign matters to
// the caller. A zero mantissa gives the lowest value.
std::int64_t leading_exponent(const char* p, const char* end) {
  constexpr std::int64_t kSaturated = std::int64_t{1} << 52;
  if (p != end && *p == '-') ++p;
  std::int64_t lead = std::numeric_limits<std::int64_t>::min();
  std::int64_t integer_digits = 0;
  for (; p != end && is_digit(*p); ++p, ++integer_digits) {
    if (lead == std::numeric_limits<std::int64_t>::min() && *p != '0') lead = -integer_digits;
  }
  if (lead != std::numeric_limits<std::int64_t>::min()) lead += integer_digits - 1;
  if (p != end && *p == '.') {
    ++p;
    for (std::int64_t index = 1; p != end && is_digit(*p); ++p, ++index) {
      if (lead == std::numeric_limits<std::int64_t>::min() && *p != '0') lead = -index;
    }
  }
  if (lead == std::numeric_limits<std::int64_t>::min()) return lead;
  std::int64_t exponent = 0;
  bool negative = false;
  if (p != end) {
    ++p;  // 'e' or 'E'
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    for (; p != end; ++p) exponent = std::min(exponent * 10 + (*p - '0'), kSaturated);
  }
  return lead + (negative ? -exponent : exponent);
}

// The shortest round-trip digits of a finite double, laid out in plain
// notation for decimal exponents -5..15 and in scientific notation beyond.
void append_double(double value, std::string& out, bool plus_in_exponent) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const char* p = buffer;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[20];
  std::size_t count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  ++p;
  const bool negative_exponent = *p == '-';
  int exponent = 0;
  for (++p; p != result.ptr; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;

  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out.append(digits, count);
      return;
    }
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (count <= integer_digits) {
      out.append(digits, count);
      out.append(integer_digits - count, '0');
      out += ".0";
    } else {
      out.append(digits, integer_digits);
      out += '.';
      out.append(digits + integer_digits, count - integer_digits);
    }
    return;
  }
  out += digits[0];
  if (count > 1) {
    out += '.';
    out.append(digits + 1, count - 1);
  }
  out += 'e';
  if (exponent < 0) {
    out += '-';
  } else if (plus_in_exponent) {
    out += '+';
  }
  char exponent_text[8];
  const auto written = std::to_chars(exponent_text, exponent_text + sizeof exponent_text, std::abs(exponent));
  out.append(exponent_text, written.ptr);
}

// Copies a JSON text into its compact form without building a tree. Members
// of each object are written as they come; an object whose keys did not
// arrive strictly ascending is reordered in place once it is closed, keeping
// the last of repeated keys.
class Canonicalizer {
 public:
  Canonicalizer(std::string_view text, std::string& out) : reader_(text), out_(out) {}

  bool run() { return copy_value() && reader_.finish(); }
  Error error() const { return reader_.error(); }

 private:
  struct MemberSpan {
    std::size_t key_begin;  // in keys_
    std::size_t key_size;
    std::size_t text_begin;  // in out_, from the key's opening quote
    std::size_t text_end;
  };

  std::string_view key_of(const MemberSpan& member) const {
    return std::string_view(keys_).substr(member.key_begin, member.key_size);
  }

  bool copy_value() {
    switch (reader_.peek()) {
      case '"':
        return reader_.copy_string(out_);
      case '[':
        return copy_array();
      case '{':
        return copy_object();
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return reader_.copy_number(out_);
      default: {
        Value literal;
        if (!reader_.read_value(literal)) return false;
        write(literal, out_);
        return true;
      }
    }
  }

  bool copy_array() {
    if (!reader_.begin_array()) return false;
    out_ += '[';
    for (bool first = true;; first = false) {
      const auto step = reader_.next_element(first);
      if (step == Reader::Step::kFailed) return false;
      if (step == Reader::Step::kEnd) break;
      if (!first) out_ += ',';
      if (!copy_value()) return false;
    }
    out_ += ']';
    return true;
  }

  bool copy_object() {
    if (!reader_.begin_object()) return false;
    out_ += '{';
    const std::size_t members_base = members_.size();
    const std::size_t keys_base = keys_.size();
    bool ascending = true;
    for (bool first = true;; first = false) {
      const auto step = reader_.next_key(first);
      if (step == Reader::Step::kFailed) return false;
      if (step == Reader::Step::kEnd) break;
      if (!first) out_ += ',';
      MemberSpan member{keys_.size(), 0, out_.size(), 0};
      if (!reader_.read_string(keys_)) return false;
      member.key_size = keys_.size() - member.key_begin;
      const std::string_view key = key_of(member);
      if (ascending && members_.size() > members_base && !(key_of(members_.back()) < key)) ascending = false;
      write_string(key, out_);
      if (!reader_.read_colon()) return false;
      out_ += ':';
      if (!copy_value()) return false;
      member.text_end = out_.size();
      members_.push_back(member);
    }
    if (!ascending) reorder(members_base);
    out_ += '}';
    members_.resize(members_base);
    keys_.resize(keys_base);
    return true;
  }

  void reorder(std::size_t members_base) {
    order_.clear();
    for (std::size_t i = members_base; i < members_.size(); ++i) order_.push_back(i);
    std::stable_sort(order_.begin(), order_.end(), [this](std::size_t a, std::size_t b) {
      return key_of(members_[a]) < key_of(members_[b]);
    });
    const std::size_t region_begin = members_[members_base].text_begin;
    scratch_.assign(out_, region_begin);
    out_.resize(region_begin);
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const MemberSpan& member = members_[order_[i]];
      if (i + 1 < order_.size() && key_of(members_[order_[i + 1]]) == key_of(member)) continue;
      if (out_.size() != region_begin) out_ += ',';
      out_.append(scratch_, member.text_begin - region_begin, member.text_end - member.text_begin);
    }
  }

  Reader reader_;
  std::string& out_;
  std::vector<MemberSpan> members_;  // of all open objects, innermost last
  std::string keys_;                 // decoded keys of all open objects
  std::vector<std::size_t> order_;
  std::string scratch_;
};

}  // namespace

void Object::set(std::string key, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& member, const std::string& k) { return member.first < k; });
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

const Value* Object::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& member, std::string_view k) { return member.first < k; });
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

Object Object::from_unsorted(std::vector<Member> members) {
  const auto out_of_order = std::adjacent_find(
      members.begin(), members.end(), [](const Member& a, const Member& b) { return !(a.first < b.first); });
  if (out_of_order != members.end()) {
    std::stable_sort(members.begin(), members.end(),
                     [](const Member& a, const Member& b) { return a.first < b.first; });
    auto kept = members.begin();
    for (auto it = members.begin(); it != members.end();) {
      auto next = it + 1;
      while (next != members.end() && next->first == it->first) ++next;
      if (kept != next - 1) *kept = std::move(*(next - 1));
      ++kept;
      it = next;
    }
    members.erase(kept, members.end());
  }
  Object object;
  object.members_ = std::move(members);
  return object;
}

bool Object::operator==(const Object& other) const { return members_ == other.members_; }

bool Value::operator==(const Value& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::kNull: return true;
    case Kind::kBool: return as_bool() == other.as_bool();
    case Kind::kUnsigned: return as_unsigned() == other.as_unsigned();
    case Kind::kSigned: return as_signed() == other.as_signed();
    case Kind::kDouble: {
      const double a = as_double();
      const double b = other.as_double();
      return std::memcmp(&a, &b, sizeof a) == 0;
    }
    case Kind::kString: return as_string() == other.as_string();
    case Kind::kArray: return as_array() == other.as_array();
    case Kind::kObject: return as_object() == other.as_object();
  }
  return false;
}

std::string Error::text() const {
  if (line == 0) return message;
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

void write_unsigned(std::uint64_t value, std::string& out) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void write_signed(std::int64_t value, std::string& out) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void write_double(double value, std::string& out) { append_double(value, out, true); }

void write_double_for_message(double value, std::string& out) { append_double(value, out, false); }

void write_string(std::string_view text, std::string& out) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  const char* run = text.data();
  const char* const end = text.data() + text.size();
  for (const char* p = run; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (!needs_escape(c)) continue;
    out.append(run, p);
    append_escape(c, out);
    run = p + 1;
  }
  out.append(run, end);
  out += '"';
}

void write(const Value& value, std::string& out) {
  switch (value.kind()) {
    case Kind::kNull: out += "null"; return;
    case Kind::kBool: out += value.as_bool() ? "true" : "false"; return;
    case Kind::kUnsigned: write_unsigned(value.as_unsigned(), out); return;
    case Kind::kSigned: write_signed(value.as_signed(), out); return;
    case Kind::kDouble: write_double(value.as_double(), out); return;
    case Kind::kString: write_string(value.as_string(), out); return;
    case Kind::kArray: {
      out += '[';
      bool first = true;
      for (const Value& item : value.as_array()) {
        if (!first) out += ',';
        first = false;
        write(item, out);
      }
      out += ']';
      return;
    }
    case Kind::kObject: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : value.as_object()) {
        if (!first) out += ',';
        first = false;
        write_string(key, out);
        out += ':';
        write(item, out);
      }
      out += '}';
      return;
    }
  }
}

std::string write(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

Reader::Reader(std::string_view text)
    : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}

int Reader::peek() {
  for (; cur_ != end_; ++cur_) {
    const char c = *cur_;
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
  }
  return -1;
}

bool Reader::fail(std::string message) {
  if (failed_) return false;
  failed_ = true;
  const std::string_view consumed(begin_, static_cast<std::size_t>(cur_ - begin_));
  const std::size_t last_break = consumed.rfind('\n');
  error_.message = std::move(message);
  error_.line = 1 + static_cast<std::size_t>(std::count(consumed.begin(), consumed.end(), '\n'));
  error_.column = last_break == std::string_view::npos ? consumed.size() : consumed.size() - last_break - 1;
  return false;
}

bool Reader::fail_on_next(std::string message) {
  if (cur_ != end_) ++cur_;
  return fail(std::move(message));
}

bool Reader::finish() { return peek() == -1 || fail_on_next("trailing characters"); }

bool Reader::read_literal(std::string_view literal) {
  for (const char expected : literal) {
    if (cur_ == end_) return fail("EOF while parsing a value");
    if (*cur_ != expected) return fail_on_next("expected ident");
    ++cur_;
  }
  return true;
}

bool Reader::read_value(Value& out) {
  switch (peek()) {
    case -1:
      return fail("EOF while parsing a value");
    case 'n':
      if (!read_literal("null")) return false;
      out = Value();
      return true;
    case 't':
      if (!read_literal("true")) return false;
      out = Value::boolean(true);
      return true;
    case 'f':
      if (!read_literal("false")) return false;
      out = Value::boolean(false);
      return true;
    case '"': {
      std::string text;
      if (!read_string(text)) return false;
      out = Value::string(std::move(text));
      return true;
    }
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      NumberText number;
      return scan_number(number) && number_value(number, out);
    }
    case '[': {
      if (!begin_array()) return false;
      Array items;
      for (bool first = true;; first = false) {
        const Step step = next_element(first);
        if (step == Step::kFailed) return false;
        if (step == Step::kEnd) break;
        items.emplace_back();
        if (!read_value(items.back())) return false;
      }
      out = Value::array(std::move(items));
      return true;
    }
    case '{': {
      if (!begin_object()) return false;
      std::vector<Member> members;
      for (bool first = true;; first = false) {
        const Step step = next_key(first);
        if (step == Step::kFailed) return false;
        if (step == Step::kEnd) break;
        Member& member = members.emplace_back();
        if (!read_string(member.first) || !read_colon() || !read_value(member.second)) return false;
      }
      out = Value::object(Object::from_unsorted(std::move(members)));
      return true;
    }
    default:
      return fail_on_next("expected value");
  }
}

bool Reader::skip_value() {
  switch (peek()) {
    case '"': {
      DiscardSink sink;
      return scan_string(sink);
    }
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      NumberText number;
      return scan_number(number);
    }
    case '[': {
      if (!begin_array()) return false;
      for (bool first = true;; first = false) {
        const Step step = next_element(first);
        if (step != Step::kItem) return step == Step::kEnd;
        if (!skip_value()) return false;
      }
    }
    case '{': {
      if (!begin_object()) return false;
      for (bool first = true;; first = false) {
        const Step step = next_key(first);
        if (step != Step::kItem) return step == Step::kEnd;
        DiscardSink sink;
        if (!scan_string(sink) || !read_colon() || !skip_value()) return false;
      }
    }
    default: {
      Value literal;
      return read_value(literal);
    }
  }
}

bool Reader::open_level() {
  if (depth_ == kMaxDepth) return fail_on_next("recursion limit exceeded");
  ++depth_;
  ++cur_;
  return true;
}

bool Reader::begin_array() { return open_level(); }

bool Reader::begin_object() { return open_level(); }

Reader::Step Reader::next_element(bool first) {
  int c = peek();
  if (c == ']') {
    ++cur_;
    --depth_;
    return Step::kEnd;
  }
  if (!first) {
    if (c == -1) return failed_step(fail("EOF while parsing a list"));
    if (c != ',') return failed_step(fail_on_next("expected `,` or `]`"));
    ++cur_;
    c = peek();
    if (c == ']') return failed_step(fail_on_next("trailing comma"));
  }
  if (c == -1) return failed_step(fail(first ? "EOF while parsing a list" : "EOF while parsing a value"));
  return Step::kItem;
}

bool Reader::end_array() {
  switch (peek()) {
    case ']':
      ++cur_;
      --depth_;
      return true;
    case ',':
      ++cur_;
      return fail_on_next(peek() == ']' ? "trailing comma" : "trailing characters");
    case -1:
      return fail("EOF while parsing a list");
    default:
      return fail_on_next("trailing characters");
  }
}

Reader::Step Reader::next_key(bool first) {
  int c = peek();
  if (c == '}') {
    ++cur_;
    --depth_;
    return Step::kEnd;
  }
  if (!first) {
    if (c == -1) return failed_step(fail("EOF while parsing an object"));
    if (c != ',') return failed_step(fail_on_next("expected `,` or `}`"));
    ++cur_;
    c = peek();
    if (c == '}') return failed_step(fail_on_next("trailing comma"));
  }
  if (c == '"') return Step::kItem;
  if (c == -1) return failed_step(fail(first ? "EOF while parsing an object" : "EOF while parsing a value"));
  return failed_step(fail_on_next("key must be a string"));
}

bool Reader::read_colon() {
  const int c = peek();
  if (c == ':') {
    ++cur_;
    return true;
  }
  if (c == -1) return fail("EOF while parsing an object");
  return fail_on_next("expected `:`");
}

bool Reader::read_string(std::string& out) {
  DecodedSink sink{out};
  return scan_string(sink);
}

bool Reader::copy_string(std::string& out) {
  CompactSink sink{out};
  out += '"';
  if (!scan_string(sink)) return false;
  out += '"';
  return true;
}

template <class Sink>
bool Reader::scan_string(Sink& sink) {
  ++cur_;  // the opening quote
  const char* run = cur_;
  for (;;) {
    while (cur_ != end_ && kPlainAscii[static_cast<unsigned char>(*cur_)]) ++cur_;
    if (cur_ == end_) return fail("EOF while parsing a string");
    const auto c = static_cast<unsigned char>(*cur_);
    if (c == '"') {
      sink.run(run, cur_);
      ++cur_;
      return true;
    }
    if (c == '\\') {
      sink.run(run, cur_);
      ++cur_;
      if (!scan_escape(sink)) return false;
      run = cur_;
    } else if (c < 0x20) {
      return fail_on_next("control character (\\u0000-\\u001F) found while parsing a string");
    } else if (!scan_utf8_sequence()) {
      return false;
    }
  }
}

template <class Sink>
bool Reader::scan_escape(Sink& sink) {
  if (cur_ == end_) return fail("EOF while parsing a string");
  char32_t cp = 0;
  switch (*cur_++) {
    case '"': cp = '"'; break;
    case '\\': cp = '\\'; break;
    case '/': cp = '/'; break;
    case 'b': cp = '\b'; break;
    case 'f': cp = '\f'; break;
    case 'n': cp = '\n'; break;
    case 'r': cp = '\r'; break;
    case 't': cp = '\t'; break;
    case 'u': {
      unsigned unit = 0;
      if (!scan_hex4(unit)) return false;
      if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("invalid unicode code point");
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        for (const char expected : {'\\', 'u'}) {
          if (cur_ == end_) return fail("EOF while parsing a string");
          if (*cur_ != expected) return fail_on_next("unexpected end of hex escape");
          ++cur_;
        }
        unsigned low = 0;
        if (!scan_hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape");
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      cp = unit;
      break;
    }
    default:
      return fail("invalid escape");
  }
  sink.code_point(cp);
  return true;
}

bool Reader::scan_hex4(unsigned& out) {
  out = 0;
  for (int i = 0; i < 4; ++i) {
    if (cur_ == end_) return fail("EOF while parsing a string");
    const int digit = hex_digit(*cur_);
    if (digit < 0) return fail_on_next("invalid escape");
    ++cur_;
    out = out << 4 | static_cast<unsigned>(digit);
  }
  return true;
}

// One multi-byte UTF-8 sequence at cur_, checked against the well-formed
// byte ranges (no overlongs, no surrogates, nothing above U+10FFFF).
bool Reader::scan_utf8_sequence() {
  const auto lead = static_cast<unsigned char>(*cur_);
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  int continuations = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return fail_on_next("invalid unicode code point");
  }
  ++cur_;
  for (int i = 0; i < continuations; ++i) {
    if (cur_ == end_) return fail("EOF while parsing a string");
    const auto c = static_cast<unsigned char>(*cur_);
    if (c < low || c > high) return fail_on_next("invalid unicode code point");
    ++cur_;
    low = 0x80;
    high = 0xBF;
  }
  return true;
}

bool Reader::scan_number(NumberText& number) {
  number.begin = cur_;
  if (*cur_ == '-') {
    number.negative = true;
    ++cur_;
  }
  if (cur_ == end_) return fail("EOF while parsing a value");
  if (*cur_ == '0') {
    ++cur_;
    if (cur_ != end_ && is_digit(*cur_)) return fail_on_next("invalid number");
  } else if (is_digit(*cur_)) {
    for (; cur_ != end_ && is_digit(*cur_); ++cur_) {
      const auto digit = static_cast<std::uint64_t>(*cur_ - '0');
      if (number.magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        number.overflow = true;
      } else {
        number.magnitude = number.magnitude * 10 + digit;
      }
    }
  } else {
    return fail_on_next("invalid number");
  }
  if (cur_ != end_ && *cur_ == '.') {
    number.integral = false;
    ++cur_;
    if (cur_ == end_) return fail("EOF while parsing a value");
    if (!is_digit(*cur_)) return fail_on_next("invalid number");
    while (cur_ != end_ && is_digit(*cur_)) ++cur_;
  }
  if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
    number.integral = false;
    ++cur_;
    if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) ++cur_;
    if (cur_ == end_) return fail("EOF while parsing a value");
    if (!is_digit(*cur_)) return fail_on_next("invalid number");
    while (cur_ != end_ && is_digit(*cur_)) ++cur_;
  }
  number.end = cur_;
  return true;
}

bool Reader::number_double(const NumberText& number, double& out) {
  const auto result = std::from_chars(number.begin, number.end, out);
  if (result.ec == std::errc() && std::isfinite(out)) return true;
  // Out of range either way: too large is refused, too small is zero.
  if (leading_exponent(number.begin, number.end) >= 0) return fail("number out of range");
  out = number.negative ? -0.0 : 0.0;
  return true;
}

bool Reader::number_value(const NumberText& number, Value& out) {
  constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
  if (number.integral && !number.overflow) {
    if (!number.negative) {
      out = Value::unsigned_integer(number.magnitude);
      return true;
    }
    if (number.magnitude != 0 && number.magnitude <= kMostNegative) {
      out = Value::signed_integer(static_cast<std::int64_t>(0 - number.magnitude));
      return true;
    }
  }
  double d = 0;
  if (!number_double(number, d)) return false;
  out = Value::floating(d);
  return true;
}

bool Reader::copy_number(std::string& out) {
  NumberText number;
  if (!scan_number(number)) return false;
  constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
  // An integer that keeps its kind is already in compact form: the grammar
  // forbids leading zeros and '+'.
  if (number.integral && !number.overflow &&
      (!number.negative || (number.magnitude != 0 && number.magnitude <= kMostNegative))) {
    out.append(number.begin, number.end);
    return true;
  }
  double d = 0;
  if (!number_double(number, d)) return false;
  write_double(d, out);
  return true;
}

Expected<Value, Error> parse(std::string_view text) {
  Reader reader(text);
  Value value;
  if (!reader.read_value(value) || !reader.finish()) return unexpected(reader.error());
  return value;
}

Expected<std::string, Error> canonicalize(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  Canonicalizer canonicalizer(text, out);
  if (!canonicalizer.run()) return unexpected(canonicalizer.error());
  return out;
}

}  // namespace vennu::json
