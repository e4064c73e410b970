#include "json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <system_error>

#include "decimal_to_double.h"

#if defined(__SSE2__) || defined(_M_X64)
#define MESH_HAVE_SSE2 1
#include <emmintrin.h>
#endif

namespace vennu::json {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Byte-parallel tests on 64-bit words, for scanning 8 bytes at a time where
// SSE2 is not worth it or not there.
constexpr std::uint64_t kEachByte = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

// The high bit of each byte of word that is below bound (at most 0x80).
// No carry crosses a byte, so every flag is exact, not only the first.
constexpr std::uint64_t bytes_below(std::uint64_t word, unsigned bound) {
  return ~(((word & ~kHighBits) + kEachByte * (0x80 - bound)) | word) & kHighBits;
}

std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The index, in memory order, of the first byte flagged in a loaded word.
int first_flagged_byte(std::uint64_t flags) {
  if constexpr (std::endian::native == std::endian::little) {
    return std::countr_zero(flags) / 8;
  } else {
    return std::countl_zero(flags) / 8;
  }
}

inline const char* skip_digits(const char* p, const char* end) {
  for (; end - p >= 8; p += 8) {
    const std::uint64_t word = load_word(p);
    const std::uint64_t non_digits = bytes_below(word, '0') | (~bytes_below(word, '9' + 1) & kHighBits);
    if (non_digits != 0) return p + first_flagged_byte(non_digits);
  }
  while (p != end && is_digit(*p)) ++p;
  return p;
}

// std::byteswap is C++23; compilers turn these shifts into one instruction.
constexpr std::uint64_t byte_swap(std::uint64_t word) {
  word = ((word & 0x00FF00FF00FF00FF) << 8) | ((word >> 8) & 0x00FF00FF00FF00FF);
  word = ((word & 0x0000FFFF0000FFFF) << 16) | ((word >> 16) & 0x0000FFFF0000FFFF);
  return (word << 32) | (word >> 32);
}
static_assert(byte_swap(0x0102030405060708) == 0x0807060504030201);

// The value of eight ASCII digits, the first in the lowest byte: pairs, then
// quads, then the whole, each with one multiplication.
std::uint64_t eight_digits_value(const char* p) {
  std::uint64_t word = load_word(p);
  if constexpr (std::endian::native == std::endian::big) word = byte_swap(word);
  word -= kEachByte * '0';
  word = word * 10 + (word >> 8);
  constexpr std::uint64_t kLowBytesOfHalves = 0x000000FF000000FF;
  return ((word & kLowBytesOfHalves) * (100 + (std::uint64_t{1000000} << 32)) +
          ((word >> 16) & kLowBytesOfHalves) * (1 + (std::uint64_t{10000} << 32))) >>
         32;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Plain runs in string literals. A run ends at a quote, a backslash or a
// control character; when reading, also at a byte from 0x80 up, which is
// checked as UTF-8 and then carried like the rest of the run.
enum class RunEnd : bool { kWriting, kReading };

template <RunEnd kMode>
bool ends_run(unsigned char c) {
  return c < 0x20 || c == '"' || c == '\\' || (kMode == RunEnd::kReading && c >= 0x80);
}

template <RunEnd kMode>
std::uint64_t word_run_ends(std::uint64_t word) {
  std::uint64_t ends = bytes_below(word, 0x20) | bytes_below(word ^ (kEachByte * '"'), 1) |
                       bytes_below(word ^ (kEachByte * '\\'), 1);
  if constexpr (kMode == RunEnd::kReading) ends |= word & kHighBits;
  return ends;
}

#if defined(MESH_HAVE_SSE2)
template <RunEnd kMode>
unsigned block_run_ends(const char* p) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
  if constexpr (kMode == RunEnd::kReading) {
    // As signed bytes, those from 0x80 up are negative: below 0x20 as well.
    ends = _mm_or_si128(ends, _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)));
  } else {
    ends = _mm_or_si128(ends, _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1F)), bytes));
  }
  return static_cast<unsigned>(_mm_movemask_epi8(ends));
}
#endif

// The end of the plain run starting at p: 16 bytes at a time where SSE2 is
// there, then a word at a time, then byte by byte near the end.
template <RunEnd kMode>
inline const char* find_run_end(const char* p, const char* end) {
#if defined(MESH_HAVE_SSE2)
  for (; end - p >= 16; p += 16) {
    if (const unsigned ends = block_run_ends<kMode>(p)) return p + std::countr_zero(ends);
  }
#endif
  for (; end - p >= 8; p += 8) {
    if (const std::uint64_t ends = word_run_ends<kMode>(load_word(p))) return p + first_flagged_byte(ends);
  }
  while (p != end && !ends_run<kMode>(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// What may follow each lead byte of well-formed UTF-8: the number of
// continuation bytes and the range of the first one, which rules out
// overlong forms, surrogates and code points above U+10FFFF.
struct Utf8Lead {
  std::uint8_t continuations = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
};

constexpr std::array<Utf8Lead, 256> make_utf8_leads() {
  std::array<Utf8Lead, 256> leads{};
  for (std::size_t b = 0xC2; b <= 0xDF; ++b) leads[b].continuations = 1;
  for (std::size_t b = 0xE0; b <= 0xEF; ++b) leads[b].continuations = 2;
  for (std::size_t b = 0xF0; b <= 0xF4; ++b) leads[b].continuations = 3;
  leads[0xE0].low = 0xA0;
  leads[0xED].high = 0x9F;
  leads[0xF0].low = 0x90;
  leads[0xF4].high = 0x8F;
  return leads;
}
constexpr std::array<Utf8Lead, 256> kUtf8Leads = make_utf8_leads();

// Two overlapping moves of a word each way copy any size from one word to
// two.
template <class Word>
void copy_overlapping(char* to, const char* from, std::size_t size) {
  Word head;
  Word tail;
  std::memcpy(&head, from, sizeof head);
  std::memcpy(&tail, from + size - sizeof tail, sizeof tail);
  std::memcpy(to, &head, sizeof head);
  std::memcpy(to + size - sizeof tail, &tail, sizeof tail);
}

// memcpy without the call for the few bytes of a key, a number or a short
// string, where the call would cost more than the copy. Reads nothing when
// size is 0, so from may then be null. Always inlined: a call of its own
// would cost what it saves.
[[gnu::always_inline]] inline void copy_bytes(char* to, const char* from, std::size_t size) {
  if (size > 16) {
    std::memcpy(to, from, size);
  } else if (size >= 8) {
    copy_overlapping<std::uint64_t>(to, from, size);
  } else if (size >= 4) {
    copy_overlapping<std::uint32_t>(to, from, size);
  } else if (size != 0) {
    to[0] = from[0];
    to[size - 1] = from[size - 1];
    if (size == 3) to[1] = from[1];
  }
}

// Appends to a string through a raw pointer instead of a call per byte. The
// string is sized ahead of the text written (C++20 cannot grow a string
// without filling the new room) and trimmed to it by the destructor.
class Output {
 public:
  Output(std::string& text, std::size_t room) : text_(text) {
    const std::size_t start = text_.size();
    text_.resize(start + room);
    rebase(start);
  }
  ~Output() { text_.resize(offset()); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void put(char c) {
    if (cursor_ == limit_) grow(1);
    *cursor_++ = c;
  }
  void put(const char* bytes, std::size_t size) {
    if (static_cast<std::size_t>(limit_ - cursor_) < size) grow(size);
    copy_bytes(cursor_, bytes, size);
    cursor_ += size;
  }
  void put(const char* begin, const char* end) { put(begin, static_cast<std::size_t>(end - begin)); }
  void put(std::string_view bytes) { put(bytes.data(), bytes.size()); }

  // Room for size bytes at the cursor, for writing in place; commit then
  // moves the cursor to the end of what was written.
  char* claim(std::size_t size) {
    if (static_cast<std::size_t>(limit_ - cursor_) < size) grow(size);
    return cursor_;
  }
  void commit(char* end) { cursor_ = end; }

 private:
  // The string's bytes before the cursor.
  std::size_t offset() const { return static_cast<std::size_t>(cursor_ - text_.data()); }

  // Out of line: keeps put small enough to inline everywhere.
  [[gnu::noinline]] void grow(std::size_t size) {
    const std::size_t used = offset();
    text_.resize(std::max(text_.size() * 2, used + size));
    rebase(used);
  }
  void rebase(std::size_t used) {
    cursor_ = text_.data() + used;
    limit_ = text_.data() + text_.size();
  }

  std::string& text_;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
};

bool needs_escape(unsigned char c) { return ends_run<RunEnd::kWriting>(c); }

// The writers below write through a raw pointer into room their caller made
// and return the end of what they wrote.

// At most 6 bytes.
char* write_escape(char* out, unsigned char c) {
  char shorthand = 0;
  switch (c) {
    case '"': shorthand = '"'; break;
    case '\\': shorthand = '\\'; break;
    case '\b': shorthand = 'b'; break;
    case '\t': shorthand = 't'; break;
    case '\n': shorthand = 'n'; break;
    case '\f': shorthand = 'f'; break;
    case '\r': shorthand = 'r'; break;
    default: {
      static constexpr char kHex[] = "0123456789abcdef";
      const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      return std::copy_n(escape, sizeof escape, out);
    }
  }
  out[0] = '\\';
  out[1] = shorthand;
  return out + 2;
}

// At most 4 bytes.
char* write_utf8(char* out, char32_t cp) {
  auto byte = [](char32_t b) { return static_cast<char>(static_cast<unsigned char>(b)); };
  if (cp < 0x80) {
    *out++ = byte(cp);
  } else if (cp < 0x800) {
    *out++ = byte(0xC0 | (cp >> 6));
    *out++ = byte(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = byte(0xE0 | (cp >> 12));
    *out++ = byte(0x80 | ((cp >> 6) & 0x3F));
    *out++ = byte(0x80 | (cp & 0x3F));
  } else {
    *out++ = byte(0xF0 | (cp >> 18));
    *out++ = byte(0x80 | ((cp >> 12) & 0x3F));
    *out++ = byte(0x80 | ((cp >> 6) & 0x3F));
    *out++ = byte(0x80 | (cp & 0x3F));
  }
  return out;
}

void put_string(std::string_view text, Output& out) {
  out.put('"');
  const char* run = text.data();
  const char* const end = run + text.size();
  for (;;) {
    const char* stop = find_run_end<RunEnd::kWriting>(run, end);
    out.put(run, stop);
    if (stop == end) break;
    out.commit(write_escape(out.claim(6), static_cast<unsigned char>(*stop)));
    run = stop + 1;
  }
  out.put('"');
}

// Receivers of a string's contents: runs of bytes that need no escaping, and
// the characters that escapes stand for.
//
// A multi-byte UTF-8 sequence in the text reaches run with its neighbours;
// multibyte tells of it first, for a sink that wants to know.
struct DecodedSink {
  std::string& out;
  void run(const char* begin, const char* end) { out.append(begin, end); }
  void multibyte() {}
  void code_point(char32_t cp) {
    char bytes[4];
    out.append(bytes, write_utf8(bytes, cp));
  }
};

// Writes the compact form into room made beforehand: it is never longer
// than the text read. It notes whether it wrote any character beyond ASCII,
// so that only such strings are measured.
struct CompactSink {
  char* out;
  bool escaped = false;  // the text held an escape, so its compact form may
  bool wide = false;     // a character beyond U+007F was written
  void run(const char* begin, const char* end) {
    const auto size = static_cast<std::size_t>(end - begin);
    copy_bytes(out, begin, size);
    out += size;
  }
  void multibyte() { wide = true; }
  void code_point(char32_t cp) {
    escaped = true;
    wide |= cp >= 0x80;
    out = cp < 0x80 && needs_escape(static_cast<unsigned char>(cp)) ? write_escape(out, static_cast<unsigned char>(cp))
                                                                    : write_utf8(out, cp);
  }
};

struct DiscardSink {
  void run(const char*, const char*) {}
  void multibyte() {}
  void code_point(char32_t) {}
};

constexpr std::array<char, 200> make_digit_pairs() {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}
constexpr std::array<char, 200> kDigitPairs = make_digit_pairs();

// The longest decimal text of a 64-bit integer, sign included.
constexpr std::size_t kIntegerTextSize = 20;

// Writes the decimal digits of value so that they end just before end and
// returns where they begin; two digits per division halve the divisions.
char* digits_before(char* end, std::uint64_t value) {
  while (value >= 100) {
    const std::size_t pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    end -= 2;
    std::memcpy(end, &kDigitPairs[pair], 2);
  }
  if (value >= 10) {
    end -= 2;
    std::memcpy(end, &kDigitPairs[static_cast<std::size_t>(value) * 2], 2);
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

// Like digits_before, with a '-' in front of negative values.
char* signed_digits_before(char* end, std::int64_t value) {
  if (value >= 0) return digits_before(end, static_cast<std::uint64_t>(value));
  char* begin = digits_before(end, 0 - static_cast<std::uint64_t>(value));
  *--begin = '-';
  return begin;
}

// Up to 19 digits always fit in 64 bits; only a 20th can overflow. The text
// is all digits without a leading zero.
bool read_magnitude(const char* p, const char* end, std::uint64_t& out) {
  constexpr std::ptrdiff_t kSafeDigits = 19;
  const char* safe_end = end - p > kSafeDigits ? p + kSafeDigits : end;
  std::uint64_t magnitude = 0;
  for (; safe_end - p >= 8; p += 8) magnitude = magnitude * 100'000'000 + eight_digits_value(p);
  for (; p != safe_end; ++p) magnitude = magnitude * 10 + static_cast<std::uint64_t>(*p - '0');
  out = magnitude;
  if (p == end) return true;
  const auto digit = static_cast<std::uint64_t>(*p - '0');
  if (end - p > 1 || magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
  out = magnitude * 10 + digit;
  return true;
}

// A finite number as decimal digits: d1.d2d3... times 10^exponent.
struct Decimal {
  bool negative = false;
  std::size_t count = 0;  // significant digits, 1 to 17
  int exponent = 0;
  char digits[17];  // the first count are set
};

// The shortest digits that read back as the same (finite) double.
Decimal shortest_decimal(double value) {
  char text[32];
  const char* const end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  Decimal decimal;
  const char* p = text;
  if (*p == '-') {
    decimal.negative = true;
    ++p;
  }
  for (; *p != 'e'; ++p) {
    if (*p != '.') decimal.digits[decimal.count++] = *p;
  }
  ++p;
  const bool negative_exponent = *p++ == '-';
  int exponent = 0;
  for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  decimal.exponent = negative_exponent ? -exponent : exponent;
  return decimal;
}

// The digit runs of a number text that passed the grammar.
struct NumberSpans {
  const char* integer = nullptr;  // the first integer digit, past any '-'
  const char* integer_end = nullptr;
  const char* fraction_end = nullptr;  // integer_end when there is no fraction
  const char* end = nullptr;           // past the exponent, if any

  const char* fraction() const { return fraction_end == integer_end ? integer_end : integer_end + 1; }
  // The exponent's sign or first digit; end when there is none.
  const char* exponent() const { return end == fraction_end ? end : fraction_end + 1; }
};

// Reads the digits of a number text (past the grammar) straight into a
// Decimal when it has at most 15 significant digits and a moderate exponent.
// Such a decimal is then exactly the shortest form of the double nearest to
// it, since 15 digits always survive the trip through a double; so the
// conversions both ways can be skipped. Anything else is left to them.
bool read_short_decimal(const NumberSpans& number, bool negative, Decimal& out) {
  constexpr std::size_t kMaxDigits = 15;
  constexpr int kMaxExponent = 300;
  constexpr std::ptrdiff_t kMaxSpan = 64;  // of integer or fraction digits
  const char* const integer = number.integer;
  const char* const integer_end = number.integer_end;
  const char* const fraction = number.fraction();
  const char* const fraction_end = number.fraction_end;
  if (integer_end - integer > kMaxSpan || fraction_end - fraction > kMaxSpan) return false;
  out.negative = negative;

  int exponent_shift = 0;
  if (const char* e = number.exponent(); e != number.end) {
    const bool negative_shift = *e == '-';
    if (*e == '-' || *e == '+') ++e;
    if (number.end - e > 4) return false;
    for (; e != number.end; ++e) exponent_shift = exponent_shift * 10 + (*e - '0');
    if (negative_shift) exponent_shift = -exponent_shift;
  }

  // The significant digits run from the first nonzero digit to the last,
  // across the point: [integer_begin, integer_stop) then [fraction_begin,
  // fraction_stop). The integer part has no leading zero unless it is "0".
  const char* integer_begin = integer;
  const char* integer_stop = integer_end;
  const char* fraction_begin = fraction;
  const char* fraction_stop = fraction_end;
  while (fraction_stop != fraction && fraction_stop[-1] == '0') --fraction_stop;
  if (*integer != '0') {
    out.exponent = static_cast<int>(integer_end - integer) - 1;
    if (fraction_stop == fraction) {
      while (integer_stop[-1] == '0') --integer_stop;
    }
  } else {
    integer_stop = integer_begin;
    while (fraction_begin != fraction_stop && *fraction_begin == '0') ++fraction_begin;
    if (fraction_begin == fraction_stop) {  // zero, whatever the exponent
      out.digits[0] = '0';
      out.count = 1;
      out.exponent = 0;
      return true;
    }
    out.exponent = -static_cast<int>(fraction_begin - fraction) - 1;
  }
  const auto integer_count = static_cast<std::size_t>(integer_stop - integer_begin);
  const auto fraction_count = static_cast<std::size_t>(fraction_stop - fraction_begin);
  out.count = integer_count + fraction_count;
  if (out.count > kMaxDigits) return false;
  std::copy_n(integer_begin, integer_count, out.digits);
  std::copy_n(fraction_begin, fraction_count, out.digits + integer_count);
  out.exponent += exponent_shift;
  return out.exponent >= -kMaxExponent && out.exponent <= kMaxExponent;
}

// The longest text of a double: "-0.0000" and 17 digits, or a sign, 17
// digits, '.', 'e', a sign and 3 exponent digits.
constexpr std::size_t kDecimalTextSize = 32;

// Lays the digits out as the writer's rules want: plain notation for decimal
// exponents -5 to 15, scientific notation beyond. At most kDecimalTextSize
// bytes.
char* write_decimal(char* p, const Decimal& decimal, bool plus_in_exponent) {
  if (decimal.negative) *p++ = '-';
  const char* const digits = decimal.digits;
  const std::size_t count = decimal.count;
  const int exponent = decimal.exponent;
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      *p++ = '0';
      *p++ = '.';
      p = std::fill_n(p, -exponent - 1, '0');
      p = std::copy_n(digits, count, p);
    } else if (const auto integer_digits = static_cast<std::size_t>(exponent) + 1; count <= integer_digits) {
      p = std::copy_n(digits, count, p);
      p = std::fill_n(p, integer_digits - count, '0');
      *p++ = '.';
      *p++ = '0';
    } else {
      p = std::copy_n(digits, integer_digits, p);
      *p++ = '.';
      p = std::copy_n(digits + integer_digits, count - integer_digits, p);
    }
  } else {
    *p++ = digits[0];
    if (count > 1) {
      *p++ = '.';
      p = std::copy_n(digits + 1, count - 1, p);
    }
    *p++ = 'e';
    if (exponent < 0) {
      *p++ = '-';
    } else if (plus_in_exponent) {
      *p++ = '+';
    }
    char exponent_text[kIntegerTextSize];
    char* const exponent_end = std::end(exponent_text);
    p = std::copy(digits_before(exponent_end, static_cast<std::uint64_t>(std::abs(exponent))), exponent_end, p);
  }
  return p;
}

void put_decimal(const Decimal& decimal, bool plus_in_exponent, Output& out) {
  out.commit(write_decimal(out.claim(kDecimalTextSize), decimal, plus_in_exponent));
}

void put_double(double value, bool plus_in_exponent, Output& out) {
  if (!std::isfinite(value)) {
    out.put("null");
    return;
  }
  put_decimal(shortest_decimal(value), plus_in_exponent, out);
}

void put_value(const Value& value, Output& out) {
  switch (value.kind()) {
    case Kind::kNull: out.put("null"); return;
    case Kind::kBool: out.put(value.as_bool() ? std::string_view("true") : std::string_view("false")); return;
    case Kind::kUnsigned:
    case Kind::kSigned: {
      char text[kIntegerTextSize];
      char* const end = std::end(text);
      out.put(value.kind() == Kind::kSigned ? signed_digits_before(end, value.as_signed())
                                            : digits_before(end, value.as_unsigned()),
              end);
      return;
    }
    case Kind::kDouble: put_double(value.as_double(), true, out); return;
    case Kind::kString: put_string(value.as_string(), out); return;
    case Kind::kArray: {
      out.put('[');
      bool first = true;
      for (const Value& item : value.as_array()) {
        if (!first) out.put(',');
        first = false;
        put_value(item, out);
      }
      out.put(']');
      return;
    }
    case Kind::kObject: {
      out.put('{');
      bool first = true;
      for (const auto& [key, item] : value.as_object()) {
        if (!first) out.put(',');
        first = false;
        put_string(key, out);
        out.put(':');
        put_value(item, out);
      }
      out.put('}');
      return;
    }
  }
}

// The decimal exponent of the first significant digit, saturated well
// inside int64; only its sign and size matter to the callers. A zero
// mantissa gives the lowest value.
std::int64_t leading_exponent(const NumberSpans& number) {
  constexpr std::int64_t kSaturated = std::int64_t{1} << 52;
  std::int64_t lead = number.integer_end - number.integer - 1;
  if (*number.integer == '0') {
    const char* const fraction = number.fraction();
    const char* const first = std::find_if(fraction, number.fraction_end, [](char c) { return c != '0'; });
    if (first == number.fraction_end) return std::numeric_limits<std::int64_t>::min();
    lead = -(first - fraction) - 1;
  }
  const char* e = number.exponent();
  if (e == number.end) return lead;
  const bool negative = *e == '-';
  if (*e == '-' || *e == '+') ++e;
  std::int64_t exponent = 0;
  for (; e != number.end; ++e) exponent = std::min(exponent * 10 + (*e - '0'), kSaturated);
  return lead + (negative ? -exponent : exponent);
}

// Scratch space is kept per thread between calls, up to this many bytes a
// buffer, so that one huge text does not pin its memory to the thread.
constexpr std::size_t kKeptScratchBytes = std::size_t{1} << 16;

template <class Buffer>
void reset_scratch(Buffer& buffer) {
  buffer.clear();
  if (buffer.capacity() * sizeof(buffer[0]) > kKeptScratchBytes) Buffer().swap(buffer);
}

// The elements of the containers being read into a tree, innermost last, on
// one stack per thread; a finished container takes its own elements at their
// final count, so it is allocated once.
template <class T>
class StackFrame {
 public:
  explicit StackFrame(std::vector<T>& stack) : stack_(stack), base_(stack.size()) {}
  ~StackFrame() {
    stack_.erase(stack_.begin() + base_, stack_.end());
    if (base_ == 0) reset_scratch(stack_);
  }
  StackFrame(const StackFrame&) = delete;
  StackFrame& operator=(const StackFrame&) = delete;

  void push(T item) { stack_.push_back(std::move(item)); }
  std::vector<T> take() {
    return std::vector<T>(std::make_move_iterator(stack_.begin() + base_), std::make_move_iterator(stack_.end()));
  }

 private:
  std::vector<T>& stack_;
  std::size_t base_;
};

std::vector<Value>& element_stack() {
  thread_local std::vector<Value> stack;
  return stack;
}

std::vector<Member>& member_stack() {
  thread_local std::vector<Member> stack;
  return stack;
}

// A key as the canonicalizer wrote it, quotes excluded.
struct WrittenKey {
  std::string_view text;
  bool escaped;  // may hold a backslash escape
};

// The next byte that a written key stands for. The writer escapes only with
// \" \\ \b \f \n \r \t and \u00XX.
unsigned char next_key_byte(const char*& p) {
  if (*p != '\\') return static_cast<unsigned char>(*p++);
  const char kind = p[1];
  p += 2;
  switch (kind) {
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'u': {
      const int value = hex_digit(p[2]) * 16 + hex_digit(p[3]);
      p += 4;
      return static_cast<unsigned char>(value);
    }
    default: return static_cast<unsigned char>(kind);
  }
}

// Byte order of two texts. Keys are mostly short, and a loop the compiler
// can inline beats a call to memcmp for them.
inline int compare_bytes(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return static_cast<int>(a.size() > common) - static_cast<int>(b.size() > common);
}

int compare_decoded_keys(std::string_view a, std::string_view b) {
  const char* p = a.data();
  const char* const p_end = p + a.size();
  const char* q = b.data();
  const char* const q_end = q + b.size();
  while (p != p_end && q != q_end) {
    const unsigned char x = next_key_byte(p);
    const unsigned char y = next_key_byte(q);
    if (x != y) return x < y ? -1 : 1;
  }
  return static_cast<int>(p != p_end) - static_cast<int>(q != q_end);
}

// Orders written keys by the bytes they stand for. An escape can put the
// written bytes out of that order ('"' is written "\"", after "A"), so keys
// that may hold one are compared as they decode.
inline int compare_keys(WrittenKey a, WrittenKey b) {
  if (!a.escaped && !b.escaped) return compare_bytes(a.text, b.text);
  return compare_decoded_keys(a.text, b.text);
}

}  // namespace

struct Reader::NumberText : NumberSpans {
  bool negative = false;

  const char* begin() const { return negative ? integer - 1 : integer; }
  bool integral() const { return end == integer_end; }

  // Read as an integer: unsigned, or negative within the signed range.
  bool keeps_integer_kind() const {
    constexpr std::ptrdiff_t kAlwaysFits = 18;  // digits of any value below 2^63
    if (!integral()) return false;
    if (negative && *integer == '0') return false;  // "-0" reads as the double -0.0
    if (integer_end - integer <= kAlwaysFits) return true;
    std::uint64_t value = 0;
    return read_magnitude(integer, integer_end, value) && (!negative || value <= std::uint64_t{1} << 63);
  }

  // The value of the integer digits of a number that keeps_integer_kind.
  std::uint64_t magnitude() const {
    std::uint64_t value = 0;
    read_magnitude(integer, integer_end, value);
    return value;
  }
};

namespace {
// Bytes moved to put members in key order on this thread.
thread_local std::uint64_t reordered_bytes = 0;
}  // namespace

// Copies a JSON text into its compact form without building a tree. Members
// of each object are written as they come; the steps are the reader's, so the
// errors are parse's.
//
// An object whose keys did not arrive strictly ascending is put in key order
// when it is closed, keeping the last of repeated keys. Mostly its members
// are rewritten in place at once. But moving an object moves again whatever
// was reordered inside it, and doing so at every level of a deep document
// costs the size times the depth. So an object is rewritten in place only
// when at most half of its text was already moved in place inside it and
// none of it waits for the final pass; otherwise it only records its members
// in key order, and once the outermost object closes, its text is rewritten
// in one pass that follows the recorded orders. The bytes moved in place then
// stay within 1.5 times the text (an object moved in place is at least twice
// what moved inside it), and the final pass moves each byte once more.
//
// The compact form of anything but a double is never longer than the text
// it comes from, so the output keeps room for all the input still to read
// plus kSlack, enough for any double, and is written through a bare pointer;
// only a double checks for room, after it is written. The input and output cursors travel together through the calls,
// which keeps both in registers.
class Canonicalizer {
 public:
  // Writes the compact form of text to out, or returns why it does not read.
  static std::optional<Error> run(std::string_view text, std::string& out) {
    Canonicalizer canonicalizer(text, out);
    return canonicalizer.copy_text();
  }

  // run, also setting shape to that of what it appended.
  static std::optional<Error> run(std::string_view text, std::string& out, TextShape& shape) {
    const std::size_t start = out.size();
    Canonicalizer canonicalizer(text, out);
    if (auto error = canonicalizer.copy_text()) return error;
    const std::string_view written(out.data() + start, out.size() - start);
    if (canonicalizer.width_ == CharWidth::kAscii) {
      shape = {written.size(), CharWidth::kAscii};
    } else if (canonicalizer.dropped_) {
      // A repeated key's member that was left out may have held characters
      // counted here.
      shape = shape_of(written);
    } else {
      shape = {written.size() - canonicalizer.extra_bytes_, canonicalizer.width_};
    }
    return std::nullopt;
  }

  // A number in compact form: the text of an integer that keeps its kind,
  // which is compact already (the grammar forbids leading zeros and '+'),
  // or the digits of a double.
  struct CompactNumber {
    std::string_view integer;  // empty for a double
    Decimal decimal;
  };

  static const char* read_number(Reader& reader, const char* p, CompactNumber& out) {
    Reader::NumberText number;
    p = reader.scan_number(p, number);
    if (p == nullptr) return nullptr;
    if (number.keeps_integer_kind()) {
      out.integer = std::string_view(number.begin(), static_cast<std::size_t>(number.end - number.begin()));
      return p;
    }
    if (!read_short_decimal(number, number.negative, out.decimal)) {
      double value = 0;
      if (!reader.number_double(number, value)) return nullptr;
      out.decimal = shortest_decimal(value);
    }
    return p;
  }

 private:
  // Room kept beyond the input left: the longest double.
  static constexpr std::size_t kSlack = kDecimalTextSize;

  struct Cursors {
    const char* in;  // null once a step failed
    char* out;
  };
  static constexpr Cursors kFailed{nullptr, nullptr};

  struct MemberSpan {
    std::size_t text_begin;  // the key's opening quote, in the output
    std::size_t key_end;     // past the key's closing quote
    std::size_t text_end;    // past the value
    // The objects recorded for reordering inside the value: indexes into
    // Scratch::reordered, which lists them as they close, so that each
    // object's nested ones come right before it.
    std::size_t nested_begin;
    std::size_t nested_end;
    bool key_escaped;  // the key may hold an escape
  };

  // An object whose members are still to be put in key order.
  struct ReorderedObject {
    std::size_t text_begin;    // of its first member
    std::size_t text_end;      // past its last member
    std::size_t nested_begin;  // the first object recorded inside it
    std::size_t kept_begin;    // its members to write, in Scratch::kept
    std::size_t kept_end;
  };

  struct SortEntry {
    WrittenKey key;
    std::size_t index;  // in members
  };

  // Reused between calls on a thread, so that small texts allocate nothing.
  struct Scratch {
    std::vector<MemberSpan> members;  // of all open objects, innermost last
    std::vector<SortEntry> order;
    std::vector<ReorderedObject> reordered;
    std::vector<MemberSpan> kept;  // of the reordered objects, in key order
    std::vector<std::size_t> roots;
    std::string region;
  };

  Canonicalizer(std::string_view text, std::string& out) : reader_(text), text_(out), scratch_(scratch()) {}
  ~Canonicalizer() {
    if (moved_ != 0) reordered_bytes += moved_;
    reset_scratch(scratch_.members);
    reset_scratch(scratch_.order);
    reset_scratch(scratch_.reordered);
    reset_scratch(scratch_.kept);
    reset_scratch(scratch_.roots);
    reset_scratch(scratch_.region);
  }
  Canonicalizer(const Canonicalizer&) = delete;
  Canonicalizer& operator=(const Canonicalizer&) = delete;

  static Scratch& scratch() {
    thread_local Scratch scratch;
    return scratch;
  }

  std::optional<Error> copy_text() {
    const std::size_t start = text_.size();
    text_.resize(start + input_left(reader_.cur_) + kSlack);
    limit_ = text_.data() + text_.size();
    const Cursors end = copy_value({reader_.cur_, text_.data() + start});
    text_.resize(end.in != nullptr ? offset(end.out) : start);
    if (reader_.advance(end.in) && reader_.finish()) return std::nullopt;
    text_.resize(start);  // trailing characters fail after the value is written
    return reader_.error();
  }

  std::size_t input_left(const char* p) const { return static_cast<std::size_t>(reader_.end_ - p); }
  std::size_t offset(const char* out) const { return static_cast<std::size_t>(out - text_.data()); }

  // Grows the output, if need be, to room bytes past out; returns where out
  // is then.
  char* make_room(char* out, std::size_t room) {
    if (static_cast<std::size_t>(limit_ - out) >= room) return out;
    const std::size_t used = offset(out);
    text_.resize(std::max(text_.size() * 2, used + room));
    limit_ = text_.data() + text_.size();
    return text_.data() + used;
  }

  // The key of a member whose text starts at text + (text_begin - offset).
  static WrittenKey key_of(const MemberSpan& member, const char* text, std::size_t offset) {
    return {std::string_view(text + (member.text_begin - offset) + 1, member.key_end - member.text_begin - 2),
            member.key_escaped};
  }

  Cursors copy_value(Cursors at) {
    const char* const p = reader_.skip_space(at.in);
    if (p == reader_.end_) return failed(reader_.not_a_value(p));
    switch (*p) {
      case '"': {
        bool escaped = false;
        return copy_string({p, at.out}, escaped);
      }
      case '[':
        return copy_array({p, at.out});
      case '{':
        return copy_object({p, at.out});
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return copy_number({p, at.out});
      case 't':
        return copy_literal({p, at.out}, "true");
      case 'f':
        return copy_literal({p, at.out}, "false");
      case 'n':
        return copy_literal({p, at.out}, "null");
      default:
        return failed(reader_.not_a_value(p));
    }
  }

  static Cursors failed(std::nullptr_t) { return kFailed; }

  [[gnu::always_inline]] Cursors copy_string(Cursors at, bool& escaped) {
    *at.out = '"';
    CompactSink sink{at.out + 1};
    const char* const p = reader_.scan_string(at.in, sink);
    if (p == nullptr) return kFailed;
    *sink.out = '"';
    escaped = sink.escaped;
    if (sink.wide) [[unlikely]] {
      count_wide_string(at.out + 1, sink.out);
    }
    return {p, sink.out + 1};
  }

  // Measures a string just written that holds characters beyond ASCII,
  // while its bytes are at hand rather than in a pass over the whole text;
  // a text of ASCII strings is not measured at all. Kept out of line, so
  // that copying a string stays small enough to be inlined.
  [[gnu::noinline]] void count_wide_string(const char* begin, const char* end) {
    const std::string_view text(begin, static_cast<std::size_t>(end - begin));
    const TextShape shape = shape_of(text);
    extra_bytes_ += text.size() - shape.code_points;
    width_ = std::max(width_, shape.width);
  }

  Cursors copy_literal(Cursors at, std::string_view word) {
    const char* const p = reader_.scan_literal(at.in, word);
    if (p == nullptr) return kFailed;
    copy_bytes(at.out, word.data(), word.size());
    return {p, at.out + word.size()};
  }

  Cursors copy_number(Cursors at) {
    CompactNumber number;
    const char* const p = read_number(reader_, at.in, number);
    if (p == nullptr) return kFailed;
    if (!number.integer.empty()) {
      copy_bytes(at.out, number.integer.data(), number.integer.size());
      return {p, at.out + number.integer.size()};
    }
    // A double may be longer than its text ("1e15"). The slack holds it;
    // then the room owed to the rest of the input is restored.
    char* const out = write_decimal(at.out, number.decimal, true);
    return {p, make_room(out, input_left(p) + kSlack)};
  }

  Cursors copy_array(Cursors at) {
    const char* p = reader_.open_level(at.in);
    if (p == nullptr) return kFailed;
    char* out = at.out;
    *out++ = '[';
    for (bool first = true;; first = false) {
      const auto step = reader_.scan_element(p, first);
      if (step == Reader::Step::kFailed) return kFailed;
      if (step == Reader::Step::kEnd) break;
      if (!first) *out++ = ',';
      const Cursors next = copy_value({p, out});
      if (next.in == nullptr) return kFailed;
      p = next.in;
      out = next.out;
    }
    *out++ = ']';
    return {p, out};
  }

  Cursors copy_object(Cursors at) {
    const char* p = reader_.open_level(at.in);
    if (p == nullptr) return kFailed;
    char* out = at.out;
    *out++ = '{';
    std::vector<MemberSpan>& members = scratch_.members;
    const std::size_t base = members.size();
    const std::size_t nested_begin = recorded_;
    const std::size_t moved_in_place_before = moved_in_place_;
    bool ascending = true;
    for (bool first = true;; first = false) {
      const auto step = reader_.scan_key(p, first);
      if (step == Reader::Step::kFailed) return kFailed;
      if (step == Reader::Step::kEnd) break;
      if (!first) *out++ = ',';
      // Filled in place: a member copied in whole right after its flag byte
      // was stored would stall on the store.
      const std::size_t index = members.size();
      MemberSpan& member = members.emplace_back();
      member.text_begin = offset(out);
      member.nested_begin = recorded_;
      Cursors next = copy_string({p, out}, member.key_escaped);
      if (next.in == nullptr) return kFailed;
      member.key_end = offset(next.out);
      if (ascending && index > base &&
          compare_keys(key_of(members[index - 1], text_.data(), 0), key_of(member, text_.data(), 0)) >= 0) {
        ascending = false;
      }
      p = reader_.scan_colon(next.in);
      if (p == nullptr) return kFailed;
      out = next.out;
      *out++ = ':';
      next = copy_value({p, out});  // may move the members and the output
      if (next.in == nullptr) return kFailed;
      p = next.in;
      out = next.out;
      members[index].text_end = offset(out);
      members[index].nested_end = recorded_;
    }
    if (!ascending) {
      const std::size_t size = offset(out) - members[base].text_begin;
      if (recorded_ == nested_begin &&
          (moved_in_place_ - moved_in_place_before) * 2 <= size) {
        out = reorder(base, out);
        moved_in_place_ += size;
      } else {
        record_order(base, nested_begin);
      }
    }
    // Only an outermost object is rewritten: nothing encloses it that could
    // be reordered later and move it again.
    if (base == 0 && recorded_ != nested_begin) {
      out = rewrite_in_order(members[base].text_begin, out);
    }
    members.resize(base);
    *out++ = '}';
    return {p, out};
  }

  // By key, keeping entries with equal keys in index order. Most objects
  // have a few members, which insertion sort handles best.
  static void sort_stably(std::vector<SortEntry>& entries) {
    constexpr std::size_t kInsertionSortLimit = 16;
    if (entries.size() > kInsertionSortLimit) {
      std::sort(entries.begin(), entries.end(), [](const SortEntry& a, const SortEntry& b) {
        const int by_key = compare_keys(a.key, b.key);
        return by_key != 0 ? by_key < 0 : a.index < b.index;
      });
      return;
    }
    for (std::size_t i = 1; i < entries.size(); ++i) {
      const SortEntry entry = entries[i];
      std::size_t j = i;
      for (; j > 0 && compare_keys(entry.key, entries[j - 1].key) < 0; --j) entries[j] = entries[j - 1];
      entries[j] = entry;
    }
  }

  // Rewrites the members from base on, which end at out, in key order; of
  // repeated keys only the last is kept, as the later value replaces the
  // earlier one. Returns the new end.
  char* reorder(std::size_t base, char* out) {
    const std::vector<MemberSpan>& members = scratch_.members;
    const std::size_t region_begin = members[base].text_begin;
    std::string& region = scratch_.region;
    region.assign(text_.data() + region_begin, offset(out) - region_begin);
    moved_ += region.size();

    std::vector<SortEntry>& order = scratch_.order;
    order.clear();
    for (std::size_t i = base; i < members.size(); ++i) {
      order.push_back({key_of(members[i], region.data(), region_begin), i});
    }
    sort_stably(order);

    out = text_.data() + region_begin;
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i + 1 < order.size() && compare_keys(order[i].key, order[i + 1].key) == 0) {
        dropped_ = true;
        continue;
      }
      if (offset(out) != region_begin) *out++ = ',';
      const MemberSpan& member = members[order[i].index];
      const std::size_t size = member.text_end - member.text_begin;
      copy_bytes(out, region.data() + (member.text_begin - region_begin), size);
      out += size;
    }
    moved_ += offset(out) - region_begin;
    return out;
  }

  // Records the members from base on in key order; of repeated keys only
  // the last is kept, as the later value replaces the earlier one.
  void record_order(std::size_t base, std::size_t nested_begin) {
    const std::vector<MemberSpan>& members = scratch_.members;
    std::vector<SortEntry>& order = scratch_.order;
    order.clear();
    for (std::size_t i = base; i < members.size(); ++i) {
      order.push_back({key_of(members[i], text_.data(), 0), i});
    }
    sort_stably(order);

    std::vector<MemberSpan>& kept = scratch_.kept;
    const std::size_t kept_begin = kept.size();
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i + 1 < order.size() && compare_keys(order[i].key, order[i + 1].key) == 0) {
        dropped_ = true;
        continue;
      }
      kept.push_back(members[order[i].index]);
    }
    scratch_.reordered.push_back(
        {members[base].text_begin, members.back().text_end, nested_begin, kept_begin, kept.size()});
    ++recorded_;
  }

  // Rewrites the output from text_begin to out, an outermost object's
  // members, with every object recorded inside it in key order; they are
  // then forgotten. Returns the new end.
  char* rewrite_in_order(std::size_t text_begin, char* out) {
    std::string& region = scratch_.region;
    region.assign(text_.data() + text_begin, offset(out) - text_begin);
    moved_ += region.size();
    char* const begin = text_.data() + text_begin;
    const MemberSpan whole{text_begin, 0, offset(out), 0, recorded_, false};
    out = write_in_order(region.data(), text_begin, whole, begin);
    moved_ += static_cast<std::size_t>(out - begin);
    scratch_.reordered.clear();
    scratch_.kept.clear();
    recorded_ = 0;
    return out;
  }

  // Writes the text of span, which the output had at offsets from origin on
  // and from now holds, with the objects recorded inside it in key order.
  // Each level copies the bytes between the outermost recorded objects in
  // span and writes their members through this, so every byte is copied once.
  char* write_in_order(const char* from, std::size_t origin, const MemberSpan& span, char* out) {
    const std::vector<ReorderedObject>& reordered = scratch_.reordered;
    // The outermost objects come last first: before each lie its nested ones.
    std::vector<std::size_t>& roots = scratch_.roots;
    const std::size_t roots_base = roots.size();
    std::size_t next = span.nested_end;
    while (next > span.nested_begin) {
      roots.push_back(next - 1);
      next = reordered[next - 1].nested_begin;
    }
    std::size_t position = span.text_begin;
    for (std::size_t r = roots.size(); r > roots_base; --r) {
      const ReorderedObject& object = reordered[roots[r - 1]];
      copy_bytes(out, from + (position - origin), object.text_begin - position);
      out += object.text_begin - position;
      for (std::size_t k = object.kept_begin; k < object.kept_end; ++k) {
        if (k != object.kept_begin) *out++ = ',';
        out = write_in_order(from, origin, scratch_.kept[k], out);
      }
      position = object.text_end;
    }
    roots.resize(roots_base);
    copy_bytes(out, from + (position - origin), span.text_end - position);
    return out + (span.text_end - position);
  }

  Reader reader_;
  std::string& text_;
  char* limit_ = nullptr;  // of the room in text_
  std::size_t moved_in_place_ = 0;  // bytes of the objects reordered in place
  std::size_t recorded_ = 0;        // scratch_.reordered.size(), kept at hand
  std::uint64_t moved_ = 0;         // bytes, for reordered_bytes
  Scratch& scratch_;
  // Of the strings written: the bytes beyond the first of each code point,
  // and the widest code point.
  std::size_t extra_bytes_ = 0;
  CharWidth width_ = CharWidth::kAscii;
  bool dropped_ = false;  // a repeated key's member was left out
};

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
  const auto key_less = [](const Member& a, const Member& b) { return a.first < b.first; };
  const auto out_of_order = std::adjacent_find(members.begin(), members.end(),
                                               [&](const Member& a, const Member& b) { return !key_less(a, b); });
  if (out_of_order != members.end()) {
    // Both sorts are stable; insertion sort needs no buffer, which
    // stable_sort allocates even for a handful of members.
    constexpr std::size_t kInsertionSortLimit = 16;
    if (members.size() <= kInsertionSortLimit) {
      for (auto it = members.begin(); it != members.end(); ++it) {
        std::rotate(std::upper_bound(members.begin(), it, *it, key_less), it, std::next(it));
      }
    } else {
      std::stable_sort(members.begin(), members.end(), key_less);
    }
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
  char text[kIntegerTextSize];
  char* const end = std::end(text);
  out.append(digits_before(end, value), end);
}

void write_signed(std::int64_t value, std::string& out) {
  char text[kIntegerTextSize];
  char* const end = std::end(text);
  out.append(signed_digits_before(end, value), end);
}

void write_double(double value, std::string& out) {
  Output output(out, 32);
  put_double(value, true, output);
}

void write_double_for_message(double value, std::string& out) {
  Output output(out, 32);
  put_double(value, false, output);
}

void write_string(std::string_view text, std::string& out) {
  const char* const end = text.data() + text.size();
  if (find_run_end<RunEnd::kWriting>(text.data(), end) != end) {
    Output output(out, text.size() + 2);
    put_string(text, output);
    return;
  }
  // Ids, names and timestamps need no escape: one resize and one copy.
  const std::size_t start = out.size();
  out.resize(start + text.size() + 2);
  char* const literal = out.data() + start;
  literal[0] = '"';
  copy_bytes(literal + 1, text.data(), text.size());
  literal[text.size() + 1] = '"';
}

void write(const Value& value, std::string& out) {
  Output output(out, 64);
  put_value(value, output);
}

std::string write(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

Reader::Reader(std::string_view text)
    : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}

int Reader::peek() {
  cur_ = skip_space(cur_);
  return cur_ == end_ ? -1 : static_cast<unsigned char>(*cur_);
}

bool Reader::read_value(Value& out) { return advance(scan_value(cur_, out)); }

bool Reader::skip_value() { return advance(scan_and_drop<false>(cur_)); }

bool Reader::read_string(std::string& out) {
  DecodedSink sink{out};
  return advance(scan_string(cur_, sink));
}

// Nothing hot copies strings this way: the canonicalizer writes them
// straight into its own room.
bool Reader::copy_string(std::string& out) {
  std::string text;
  if (!read_string(text)) return false;
  write_string(text, out);
  return true;
}

bool Reader::copy_number(std::string& out) {
  Canonicalizer::CompactNumber number;
  if (!advance(Canonicalizer::read_number(*this, cur_, number))) return false;
  if (!number.integer.empty()) {
    out += number.integer;
  } else {
    Output output(out, kDecimalTextSize);
    put_decimal(number.decimal, true, output);
  }
  return true;
}

bool Reader::begin_array() { return advance(open_level(cur_)); }

Reader::Step Reader::next_element(bool first) { return scan_element(cur_, first); }

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

bool Reader::begin_object() { return advance(open_level(cur_)); }

Reader::Step Reader::next_key(bool first) { return scan_key(cur_, first); }

bool Reader::read_colon() { return advance(scan_colon(cur_)); }

bool Reader::finish() { return peek() == -1 || fail_on_next("trailing characters"); }

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

bool Reader::advance(const char* p) {
  if (p == nullptr) return false;
  cur_ = p;
  return true;
}

std::nullptr_t Reader::fail_at(const char* at, const char* message) {
  cur_ = at;
  fail(message);
  return nullptr;
}

std::nullptr_t Reader::fail_on(const char* p, const char* message) {
  return fail_at(p == end_ ? p : p + 1, message);
}

// The steps taken for every token are marked inline, which lets the
// compiler fold them into the loops of this file (their only callers).
inline const char* Reader::skip_space(const char* p) const {
  while (p != end_ && (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) ++p;
  return p;
}

inline const char* Reader::open_level(const char* p) {
  if (depth_ == kMaxDepth) return fail_on(p, "recursion limit exceeded");
  ++depth_;
  return p + 1;
}

inline Reader::Step Reader::scan_element(const char*& p, bool first) {
  p = skip_space(p);
  if (p != end_ && *p == ']') {
    ++p;
    --depth_;
    return Step::kEnd;
  }
  if (!first) {
    if (p == end_) return failed_step(fail_at(p, "EOF while parsing a list"));
    if (*p != ',') return failed_step(fail_on(p, "expected `,` or `]`"));
    p = skip_space(p + 1);
    if (p != end_ && *p == ']') return failed_step(fail_on(p, "trailing comma"));
  }
  if (p == end_) return failed_step(fail_at(p, first ? "EOF while parsing a list" : "EOF while parsing a value"));
  return Step::kItem;
}

inline Reader::Step Reader::scan_key(const char*& p, bool first) {
  p = skip_space(p);
  if (p != end_ && *p == '}') {
    ++p;
    --depth_;
    return Step::kEnd;
  }
  if (!first) {
    if (p == end_) return failed_step(fail_at(p, "EOF while parsing an object"));
    if (*p != ',') return failed_step(fail_on(p, "expected `,` or `}`"));
    p = skip_space(p + 1);
    if (p != end_ && *p == '}') return failed_step(fail_on(p, "trailing comma"));
  }
  if (p != end_ && *p == '"') return Step::kItem;
  if (p == end_) return failed_step(fail_at(p, first ? "EOF while parsing an object" : "EOF while parsing a value"));
  return failed_step(fail_on(p, "key must be a string"));
}

inline const char* Reader::scan_colon(const char* p) {
  p = skip_space(p);
  if (p != end_ && *p == ':') return p + 1;
  if (p == end_) return fail_at(p, "EOF while parsing an object");
  return fail_on(p, "expected `:`");
}

const char* Reader::scan_literal(const char* p, std::string_view word) {
  for (const char expected : word) {
    if (p == end_) return fail_at(p, "EOF while parsing a value");
    if (*p != expected) return fail_on(p, "expected ident");
    ++p;
  }
  return p;
}

std::nullptr_t Reader::not_a_value(const char* p) {
  if (p == end_) return fail_at(p, "EOF while parsing a value");
  return fail_on(p, "expected value");
}

const char* Reader::scan_value(const char* p, Value& out) {
  p = skip_space(p);
  if (p == end_) return not_a_value(p);
  switch (*p) {
    case 'n':
      p = scan_literal(p, "null");
      if (p != nullptr) out = Value();
      return p;
    case 't':
      p = scan_literal(p, "true");
      if (p != nullptr) out = Value::boolean(true);
      return p;
    case 'f':
      p = scan_literal(p, "false");
      if (p != nullptr) out = Value::boolean(false);
      return p;
    case '"': {
      std::string text;
      DecodedSink sink{text};
      p = scan_string(p, sink);
      if (p != nullptr) out = Value::string(std::move(text));
      return p;
    }
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      NumberText number;
      p = scan_number(p, number);
      return p != nullptr && number_value(number, out) ? p : nullptr;
    }
    case '[': {
      p = open_level(p);
      if (p == nullptr) return nullptr;
      StackFrame<Value> items(element_stack());
      for (bool first = true;; first = false) {
        const Step step = scan_element(p, first);
        if (step == Step::kFailed) return nullptr;
        if (step == Step::kEnd) break;
        Value item;
        p = scan_value(p, item);
        if (p == nullptr) return nullptr;
        items.push(std::move(item));
      }
      out = Value::array(items.take());
      return p;
    }
    case '{': {
      p = open_level(p);
      if (p == nullptr) return nullptr;
      StackFrame<Member> members(member_stack());
      for (bool first = true;; first = false) {
        const Step step = scan_key(p, first);
        if (step == Step::kFailed) return nullptr;
        if (step == Step::kEnd) break;
        Member member;
        DecodedSink key{member.first};
        p = scan_string(p, key);
        if (p != nullptr) p = scan_colon(p);
        if (p != nullptr) p = scan_value(p, member.second);
        if (p == nullptr) return nullptr;
        members.push(std::move(member));
      }
      out = Value::object(Object::from_unsorted(members.take()));
      return p;
    }
    default:
      return not_a_value(p);
  }
}

template <bool kCheckNumberRange>
const char* Reader::scan_and_drop(const char* p) {
  p = skip_space(p);
  if (p == end_) return not_a_value(p);
  switch (*p) {
    case '"': {
      DiscardSink sink;
      return scan_string(p, sink);
    }
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      NumberText number;
      p = scan_number(p, number);
      return p != nullptr && (!kCheckNumberRange || number_in_range(number)) ? p : nullptr;
    }
    case '[': {
      p = open_level(p);
      if (p == nullptr) return nullptr;
      for (bool first = true;; first = false) {
        const Step step = scan_element(p, first);
        if (step != Step::kItem) return step == Step::kEnd ? p : nullptr;
        p = scan_and_drop<kCheckNumberRange>(p);
        if (p == nullptr) return nullptr;
      }
    }
    case '{': {
      p = open_level(p);
      if (p == nullptr) return nullptr;
      for (bool first = true;; first = false) {
        const Step step = scan_key(p, first);
        if (step != Step::kItem) return step == Step::kEnd ? p : nullptr;
        DiscardSink key;
        p = scan_string(p, key);
        if (p != nullptr) p = scan_colon(p);
        if (p != nullptr) p = scan_and_drop<kCheckNumberRange>(p);
        if (p == nullptr) return nullptr;
      }
    }
    case 't':
      return scan_literal(p, "true");
    case 'f':
      return scan_literal(p, "false");
    case 'n':
      return scan_literal(p, "null");
    default:
      return not_a_value(p);
  }
}

template <class Sink>
const char* Reader::scan_string(const char* p, Sink& sink) {
  const char* run = ++p;  // past the opening quote
  for (;;) {
    p = find_run_end<RunEnd::kReading>(p, end_);
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
      sink.multibyte();
      do {
        p = scan_utf8_sequence(p);
        if (p == nullptr) return nullptr;
      } while (p != end_ && static_cast<unsigned char>(*p) >= 0x80);
    }
  }
}

// p is past the backslash.
template <class Sink>
const char* Reader::scan_escape(const char* p, Sink& sink) {
  if (p == end_) return fail_at(p, "EOF while parsing a string");
  char32_t cp = 0;
  switch (*p++) {
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
      break;
    }
    default:
      return fail_at(p, "invalid escape");
  }
  sink.code_point(cp);
  return p;
}

const char* Reader::scan_hex4(const char* p, unsigned& out) {
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
const char* Reader::scan_utf8_sequence(const char* p) {
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

const char* Reader::scan_number(const char* p, NumberText& number) {
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

bool Reader::number_double(const NumberText& number, double& out) {
  const auto result = read_double(number.begin(), number.end, out);
  if (result.ec == std::errc() && std::isfinite(out)) return true;
  // Out of range either way: too large is refused, too small is zero.
  if (leading_exponent(number) >= 0) {
    fail_at(number.end, "number out of range");
    return false;
  }
  out = number.negative ? -0.0 : 0.0;
  return true;
}

// The verdict of number_double without the conversion where the size alone
// decides: only a number whose first digit stands for 10^308 can go either
// way.
bool Reader::number_in_range(const NumberText& number) {
  constexpr std::int64_t kLargestDoubleExponent = 308;
  if (number.keeps_integer_kind()) return true;
  const std::int64_t lead = leading_exponent(number);
  if (lead < kLargestDoubleExponent) return true;
  if (lead > kLargestDoubleExponent) {
    fail_at(number.end, "number out of range");
    return false;
  }
  double ignored = 0;
  return number_double(number, ignored);
}

bool Reader::number_value(const NumberText& number, Value& out) {
  if (number.keeps_integer_kind()) {
    const std::uint64_t magnitude = number.magnitude();
    out = number.negative ? Value::signed_integer(static_cast<std::int64_t>(0 - magnitude))
                          : Value::unsigned_integer(magnitude);
    return true;
  }
  double d = 0;
  if (!number_double(number, d)) return false;
  out = Value::floating(d);
  return true;
}

Expected<Value, Error> parse(std::string_view text) {
  Reader reader(text);
  Value value;
  if (!reader.read_value(value) || !reader.finish()) return unexpected(reader.error());
  return value;
}

std::optional<Error> validate(std::string_view text) {
  Reader reader(text);
  if (reader.advance(reader.scan_and_drop<true>(reader.cur_)) && reader.finish()) return std::nullopt;
  return reader.error();
}

std::uint64_t reordered_bytes_on_this_thread() { return reordered_bytes; }

Expected<std::string, Error> canonicalize(std::string_view text) {
  std::string out;
  if (auto error = Canonicalizer::run(text, out)) return unexpected(std::move(*error));
  return out;
}

std::optional<Error> canonicalize(std::string_view text, std::string& out, TextShape& shape) {
  return Canonicalizer::run(text, out, shape);
}

}  // namespace vennu::json
