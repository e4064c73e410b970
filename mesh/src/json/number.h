// Numbers of the JSON unit: the digit runs of a number text, its integer
// value, its decimal digits (read straight from short texts, or the shortest
// that round-trip a double), the layout those digits are written in, and the
// range check of doubles.
//
// A NumberText points into a text that passed the number grammar (the
// scanner's scan_number makes them); nothing here checks the grammar again.
// A number whose value is too large for a double is refused; one too small
// to be anything but zero reads as a zero of its sign.
//
// Thread safety: pure functions and constant tables.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "json/string_runs.h"

namespace vennu::json {

// The value of eight ASCII digits, the first in the lowest byte: pairs, then
// quads, then the whole, each with one multiplication.
inline std::uint64_t eight_digits_value(const char* p) {
  std::uint64_t word = load_word(p);
  if constexpr (std::endian::native == std::endian::big) word = byte_swap(word);
  word -= kEachByte * '0';
  word = word * 10 + (word >> 8);
  constexpr std::uint64_t kLowBytesOfHalves = 0x000000FF000000FF;
  return ((word & kLowBytesOfHalves) * (100 + (std::uint64_t{1000000} << 32)) +
          ((word >> 16) & kLowBytesOfHalves) * (1 + (std::uint64_t{10000} << 32))) >>
         32;
}

// Reads [p, end), all digits without a leading zero, into out; false when
// the value does not fit in 64 bits. Up to 19 digits always fit; only a
// 20th can overflow.
inline bool read_magnitude(const char* p, const char* end, std::uint64_t& out) {
  constexpr std::ptrdiff_t kSafeDigits = 19;
  const char* safe_end = end - p > kSafeDigits ? p + kSafeDigits : end;
  std::uint64_t magnitude = 0;
  for (; safe_end - p >= 8; p += 8) magnitude = magnitude * 100'000'000 + eight_digits_value(p);
  for (; p != safe_end; ++p) magnitude = magnitude * 10 + static_cast<std::uint64_t>(*p - '0');
  out = magnitude;
  if (p == end) return true;
  const auto digit = static_cast<std::uint64_t>(*p - '0');
  if (end - p > 1 || magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
    return false;
  }
  out = magnitude * 10 + digit;
  return true;
}

// The digit runs of a number text that passed the grammar.
struct NumberText {
  const char* integer = nullptr;  // the first integer digit, past any '-'
  const char* integer_end = nullptr;
  const char* fraction_end = nullptr;  // integer_end when there is no fraction
  const char* end = nullptr;           // past the exponent, if any
  bool negative = false;

  const char* begin() const { return negative ? integer - 1 : integer; }
  bool integral() const { return end == integer_end; }
  const char* fraction() const {
    return fraction_end == integer_end ? integer_end : integer_end + 1;
  }
  // The exponent's sign or first digit; end when there is none.
  const char* exponent() const { return end == fraction_end ? end : fraction_end + 1; }

  // Read as an integer: unsigned, or negative within the signed range.
  bool keeps_integer_kind() const {
    constexpr std::ptrdiff_t kAlwaysFits = 18;  // digits of any value below 2^63
    if (!integral()) return false;
    if (negative && *integer == '0') return false;  // "-0" reads as the double -0.0
    if (integer_end - integer <= kAlwaysFits) return true;
    std::uint64_t value = 0;
    return read_magnitude(integer, integer_end, value) &&
           (!negative || value <= std::uint64_t{1} << 63);
  }

  // The value of the integer digits of a number that keeps_integer_kind.
  std::uint64_t magnitude() const {
    std::uint64_t value = 0;
    read_magnitude(integer, integer_end, value);
    return value;
  }
};

// The nearest double; false when the number is too large for one (out is
// then unspecified).
bool to_double(const NumberText& number, double& out);

// The verdict of to_double, without the conversion where the size alone
// decides.
bool in_double_range(const NumberText& number);

// The decimal exponent of the first significant digit, saturated well
// inside int64; only its sign and size matter to the callers. A zero
// mantissa gives the lowest value.
std::int64_t leading_exponent(const NumberText& number);

// A finite number as decimal digits: d1.d2d3... times 10^exponent.
struct Decimal {
  bool negative = false;
  std::size_t count = 0;  // significant digits, 1 to 17
  int exponent = 0;
  char digits[17];  // the first count are set
};

// The shortest digits that read back as the same (finite) double.
Decimal shortest_decimal(double value);

// Reads the digits of a number text straight into a Decimal when it has at
// most 15 significant digits and a moderate exponent; false, leaving the
// conversions both ways to do, for anything else. Such a decimal is then
// exactly the shortest form of the double nearest to it, since 15 digits
// always survive the trip through a double.
bool read_short_decimal(const NumberText& number, Decimal& out);

// Whether a number with a fraction and no exponent is already in the form
// write_decimal gives its double: it has at most 15 significant digits (so
// they are the shortest that read back as its double, see
// read_short_decimal), its decimal exponent lies within the plain layout's
// -5 to 15, and its last digit is not a zero, unless the whole fraction is
// the one zero write_decimal gives a whole number ("167.0"). Most decimals
// that programs write pass.
inline bool is_compact_decimal(const NumberText& number) {
  if (number.fraction_end == number.integer_end || number.end != number.fraction_end) return false;
  constexpr std::ptrdiff_t kMaxDigits = 15;
  const char* const fraction = number.integer_end + 1;
  const std::ptrdiff_t fraction_digits = number.fraction_end - fraction;
  const std::ptrdiff_t integer_digits = number.integer_end - number.integer;
  if (number.fraction_end[-1] == '0')
    return fraction_digits == 1 && *number.integer != '0' && integer_digits <= kMaxDigits;
  if (*number.integer != '0') return integer_digits + fraction_digits <= kMaxDigits;
  // "0." and up to four zeros: exponents -1 to -5. The last digit is not a
  // zero, so the count stops inside the fraction.
  std::ptrdiff_t zeros = 0;
  while (zeros < 5 && fraction[zeros] == '0') ++zeros;
  return zeros < 5 && fraction_digits - zeros <= kMaxDigits;
}

// Whether a number is written as its own text: an integer that keeps its
// kind (the grammar forbids leading zeros and '+') or an is_compact_decimal.
inline bool is_compact_as_written(const NumberText& number) {
  return number.keeps_integer_kind() || is_compact_decimal(number);
}

// Whether a number with an exponent is already in the form write_decimal
// gives its double: one nonzero integer digit, a fraction without a
// trailing zero, 'e', a sign, and an exponent without leading zeros beyond
// the plain layout's -5 to 15. With at most 15 digits and an exponent
// within read_short_decimal's range those digits are the double's shortest,
// so the layout decides; longer ones, and exponents near the ends of the
// double range, are converted and written back to compare.
bool is_compact_scientific(const NumberText& number);

// Whether a number's text is exactly what the compact form writes for it.
inline bool is_compact_number(const NumberText& number) {
  if (is_compact_as_written(number)) return true;
  if (number.end == number.fraction_end) return false;
  // Only the copy goes to memory for the call, on this rare path; the
  // caller's number can stay in registers.
  const NumberText copy = number;
  return is_compact_scientific(copy);
}

// A number in compact form: its own text where that is compact already, or
// the digits of a double.
struct CompactNumber {
  std::string_view text;  // empty when decimal holds the digits
  Decimal decimal;
};

// False when the number is too large for a double.
inline bool compact_number(const NumberText& number, CompactNumber& out) {
  if (is_compact_as_written(number)) {
    out.text =
        std::string_view(number.begin(), static_cast<std::size_t>(number.end - number.begin()));
    return true;
  }
  if (read_short_decimal(number, out.decimal)) return true;
  double value = 0;
  if (!to_double(number, value)) return false;
  out.decimal = shortest_decimal(value);
  return true;
}

// The longest decimal text of a 64-bit integer, sign included.
inline constexpr std::size_t kIntegerTextSize = 20;

// The longest text of a double: "-0.0000" and 17 digits, or a sign, 17
// digits, '.', 'e', a sign and 3 exponent digits.
inline constexpr std::size_t kDecimalTextSize = 32;

// Lays the digits out as the writer's rules want: plain notation for decimal
// exponents -5 to 15, scientific notation beyond, with '+' in a positive
// exponent when plus_in_exponent. Writes at most kDecimalTextSize bytes at p
// and returns their end.
char* write_decimal(char* p, const Decimal& decimal, bool plus_in_exponent);

constexpr std::array<char, 200> make_digit_pairs() {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}
inline constexpr std::array<char, 200> kDigitPairs = make_digit_pairs();

// Writes the decimal digits of value so that they end just before end and
// returns where they begin; two digits per division halve the divisions.
inline char* digits_before(char* end, std::uint64_t value) {
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
inline char* signed_digits_before(char* end, std::int64_t value) {
  if (value >= 0) return digits_before(end, static_cast<std::uint64_t>(value));
  char* begin = digits_before(end, 0 - static_cast<std::uint64_t>(value));
  *--begin = '-';
  return begin;
}

}  // namespace vennu::json
