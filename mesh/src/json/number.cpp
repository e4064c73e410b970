#include "json/number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <system_error>

#include "json/decimal_to_double.h"

namespace vennu::json {

bool to_double(const NumberText& number, double& out) {
  const auto result = read_double(number.begin(), number.end, out);
  if (result.ec == std::errc() && std::isfinite(out)) return true;
  // Out of range either way: too large is refused, too small is zero.
  if (leading_exponent(number) >= 0) return false;
  out = number.negative ? -0.0 : 0.0;
  return true;
}

// Only a number whose first digit stands for 10^308 can go either way.
bool in_double_range(const NumberText& number) {
  constexpr std::int64_t kLargestDoubleExponent = 308;
  if (number.keeps_integer_kind()) return true;
  const std::int64_t lead = leading_exponent(number);
  if (lead < kLargestDoubleExponent) return true;
  if (lead > kLargestDoubleExponent) return false;
  double ignored = 0;
  return to_double(number, ignored);
}

std::int64_t leading_exponent(const NumberText& number) {
  constexpr std::int64_t kSaturated = std::int64_t{1} << 52;
  std::int64_t lead = number.integer_end - number.integer - 1;
  if (*number.integer == '0') {
    const char* const fraction = number.fraction();
    const char* const first =
        std::find_if(fraction, number.fraction_end, [](char c) { return c != '0'; });
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

Decimal shortest_decimal(double value) {
  char text[32];
  const char* const end =
      std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
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

bool read_short_decimal(const NumberText& number, Decimal& out) {
  constexpr std::size_t kMaxDigits = 15;
  constexpr int kMaxExponent = 300;
  constexpr std::ptrdiff_t kMaxSpan = 64;  // of integer or fraction digits
  const char* const integer = number.integer;
  const char* const integer_end = number.integer_end;
  const char* const fraction = number.fraction();
  const char* const fraction_end = number.fraction_end;
  if (integer_end - integer > kMaxSpan || fraction_end - fraction > kMaxSpan) return false;
  out.negative = number.negative;

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

bool is_compact_scientific(const NumberText& number) {
  constexpr std::ptrdiff_t kMaxDigits = 17;
  constexpr std::ptrdiff_t kShortDigits = 15;
  constexpr int kShortExponent = 300;
  if (number.integer_end - number.integer != 1 || *number.integer == '0') return false;
  const char* const fraction = number.fraction();
  const std::ptrdiff_t digits = 1 + (number.fraction_end - fraction);
  if (digits > kMaxDigits || (fraction != number.fraction_end && number.fraction_end[-1] == '0')) {
    return false;
  }
  const char* e = number.fraction_end;
  if (*e != 'e' || (e[1] != '+' && e[1] != '-')) return false;
  const bool negative = e[1] == '-';
  e += 2;
  // Three digits reach past the double range (1e-324 to 1.8e308).
  if (*e == '0' || number.end - e > 3) return false;
  int exponent = 0;
  for (; e != number.end; ++e) exponent = exponent * 10 + (*e - '0');
  if (exponent < (negative ? 6 : 16)) return false;
  if (digits <= kShortDigits && exponent <= kShortExponent) return true;
  double value = 0;
  if (!to_double(number, value)) return false;
  char written[kDecimalTextSize];
  const char* const written_end = write_decimal(written, shortest_decimal(value), true);
  return std::string_view(written, static_cast<std::size_t>(written_end - written)) ==
         std::string_view(number.begin(), static_cast<std::size_t>(number.end - number.begin()));
}

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
    } else if (const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
               count <= integer_digits) {
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
    p = std::copy(digits_before(exponent_end, static_cast<std::uint64_t>(std::abs(exponent))),
                  exponent_end, p);
  }
  return p;
}

}  // namespace vennu::json
