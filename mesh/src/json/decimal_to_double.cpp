#include "json/decimal_to_double.h"

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace vennu::json {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal d[0] d[1] ... d[count-1] times 10^(point - count), that is
// 0.d0d1d2... times 10^point, with no trailing zero digit. Multiplying and
// dividing it by powers of two is exact (beyond kMaxDigits digits, a lost
// non-zero digit is remembered in `truncated`), which is all the conversion
// needs: scale into [0.5, 1) by powers of two, then take 53 bits and round.
class BigDecimal {
 public:
  static constexpr int kMaxDigits = 800;
  // The widest shift one pass can take without overflowing 64 bits.
  static constexpr unsigned kMaxShift = 60;

  void push_digit(std::uint8_t digit) {
    if (count_ < kMaxDigits) {
      digits_[count_++] = digit;
    } else if (digit != 0) {
      truncated_ = true;
    }
  }
  void set_point(int point) { point_ = point; }
  int point() const { return point_; }
  bool is_zero() const { return count_ == 0; }
  std::uint8_t first_digit() const { return digits_[0]; }

  void trim() {
    while (count_ > 0 && digits_[count_ - 1] == 0) --count_;
    if (count_ == 0) point_ = 0;
  }

  // Times 2^shift for shift > 0, divided by 2^-shift for shift < 0.
  void shift(int shift) {
    if (count_ == 0) return;
    while (shift > 0) {
      const unsigned step = std::min(static_cast<unsigned>(shift), kMaxShift);
      shift_left(step);
      shift -= static_cast<int>(step);
    }
    while (shift < 0) {
      const unsigned step = std::min(static_cast<unsigned>(-shift), kMaxShift);
      shift_right(step);
      shift += static_cast<int>(step);
    }
  }

  // The integer part, plus one when the fraction rounds up (ties to even).
  std::uint64_t rounded_integer() const {
    if (point_ > 20) return UINT64_MAX;
    std::uint64_t n = 0;
    int i = 0;
    for (; i < point_ && i < count_; ++i) n = n * 10 + digits_[i];
    for (; i < point_; ++i) n *= 10;
    if (rounds_up_at(point_)) ++n;
    return n;
  }

 private:
  bool rounds_up_at(int index) const {
    if (index < 0 || index >= count_) return false;
    if (digits_[index] == 5 && index + 1 == count_) {
      if (truncated_) return true;
      return index > 0 && digits_[index - 1] % 2 == 1;
    }
    return digits_[index] >= 5;
  }

  void shift_left(unsigned bits) {
    // From the last digit up, each digit times 2^bits plus the carry; the
    // carry stays below 2^bits, so a step stays below 10 * 2^60 < 2^64.
    constexpr int kRoom = kMaxDigits + 20;
    std::uint8_t out[kRoom];
    int written = 0;
    std::uint64_t carry = 0;
    for (int r = count_ - 1; r >= 0; --r) {
      const std::uint64_t n = (std::uint64_t{digits_[r]} << bits) + carry;
      out[kRoom - 1 - written++] = static_cast<std::uint8_t>(n % 10);
      carry = n / 10;
    }
    for (; carry > 0; carry /= 10)
      out[kRoom - 1 - written++] = static_cast<std::uint8_t>(carry % 10);
    const std::uint8_t* first = out + kRoom - written;
    point_ += written - count_;
    const int kept = std::min(written, kMaxDigits);
    std::memcpy(digits_, first, static_cast<std::size_t>(kept));
    for (int i = kept; i < written; ++i) truncated_ = truncated_ || first[i] != 0;
    count_ = kept;
    trim();
  }

  void shift_right(unsigned bits) {
    int r = 0;
    int w = 0;
    std::uint64_t n = 0;
    // Read digits until the quotient has its first non-zero digit.
    for (; (n >> bits) == 0; ++r) {
      if (r >= count_) {
        if (n == 0) {
          count_ = 0;
          point_ = 0;
          return;
        }
        while ((n >> bits) == 0) {
          n *= 10;
          ++r;
        }
        break;
      }
      n = n * 10 + digits_[r];
    }
    point_ -= r - 1;
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    for (; r < count_; ++r) {
      const auto digit = static_cast<std::uint8_t>(n >> bits);
      n &= mask;
      digits_[w++] = digit;
      n = n * 10 + digits_[r];
    }
    while (n > 0) {
      const auto digit = static_cast<std::uint8_t>(n >> bits);
      n &= mask;
      if (w < kMaxDigits) {
        digits_[w++] = digit;
      } else if (digit > 0) {
        truncated_ = true;
      }
      n *= 10;
    }
    count_ = w;
    trim();
  }

  std::uint8_t digits_[kMaxDigits];
  int count_ = 0;
  int point_ = 0;
  bool truncated_ = false;
};

constexpr int kMantissaBits = 52;
constexpr int kExponentBias = -1023;
constexpr int kExponentLimit = 0x7FF;  // all ones: infinities

// The bits of the double nearest the decimal, or false when it is too large.
bool nearest_double_bits(BigDecimal& decimal, std::uint64_t& bits) {
  // Powers of two that move the decimal point by about 0..8 places.
  static constexpr int kShiftForPoint[] = {1, 3, 6, 9, 13, 16, 19, 23, 26};
  constexpr int kShiftCount = static_cast<int>(sizeof kShiftForPoint / sizeof kShiftForPoint[0]);
  constexpr int kWideShift = 27;
  bits = 0;
  if (decimal.is_zero() || decimal.point() < -330) return true;
  if (decimal.point() > 310) return false;

  int exponent = 0;
  while (decimal.point() > 0) {
    const int n = decimal.point() >= kShiftCount ? kWideShift : kShiftForPoint[decimal.point()];
    decimal.shift(-n);
    exponent += n;
  }
  while (decimal.point() < 0 || (decimal.point() == 0 && decimal.first_digit() < 5)) {
    const int n = -decimal.point() >= kShiftCount ? kWideShift : kShiftForPoint[-decimal.point()];
    decimal.shift(n);
    exponent -= n;
  }
  // Now in [0.5, 1): the value is 0.1xxx (binary) times 2^exponent.
  --exponent;
  if (exponent < kExponentBias + 1) {
    const int n = kExponentBias + 1 - exponent;
    decimal.shift(-n);
    exponent += n;
  }
  if (exponent - kExponentBias >= kExponentLimit) return false;

  decimal.shift(1 + kMantissaBits);
  std::uint64_t mantissa = decimal.rounded_integer();
  if (mantissa == std::uint64_t{2} << kMantissaBits) {
    mantissa >>= 1;
    ++exponent;
    if (exponent - kExponentBias >= kExponentLimit) return false;
  }
  if ((mantissa & (std::uint64_t{1} << kMantissaBits)) == 0) exponent = kExponentBias;
  bits = (mantissa & ((std::uint64_t{1} << kMantissaBits) - 1)) |
         (static_cast<std::uint64_t>(exponent - kExponentBias) << kMantissaBits);
  return true;
}

#if FLT_EVAL_METHOD == 0
// Exact powers of ten as doubles: 10^22 is the last one.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
#endif

}  // namespace

std::from_chars_result decimal_to_double(const char* first, const char* last, double& out) {
  const char* p = first;
  const bool negative = p != last && *p == '-';
  if (negative) ++p;

  BigDecimal decimal;
  std::int64_t point = 0;  // decimal point position, before the exponent
  bool saw_digit = false;
  std::uint64_t small = 0;  // the first 19 significant digits
  int small_digits = 0;
  bool small_exact = true;

  auto take = [&](std::uint8_t digit) {
    decimal.push_digit(digit);
    if (small_digits < 19) {
      small = small * 10 + digit;
      ++small_digits;
    } else if (digit != 0) {
      small_exact = false;  // zeros past the 19th digit are counted in point
    }
  };
  for (; p != last && is_digit(*p); ++p) {
    saw_digit = true;
    const auto digit = static_cast<std::uint8_t>(*p - '0');
    if (digit == 0 && small_digits == 0) continue;
    ++point;
    take(digit);
  }
  if (p != last && *p == '.') {
    const char* dot = p++;
    for (; p != last && is_digit(*p); ++p) {
      saw_digit = true;
      const auto digit = static_cast<std::uint8_t>(*p - '0');
      if (digit == 0 && small_digits == 0) {
        --point;
        continue;
      }
      take(digit);
    }
    if (!saw_digit) p = dot;
  }
  if (!saw_digit) return {first, std::errc::invalid_argument};

  std::int64_t exponent = 0;
  if (p != last && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    const bool negative_exponent = q != last && *q == '-';
    if (q != last && (*q == '-' || *q == '+')) ++q;
    if (q != last && is_digit(*q)) {
      for (; q != last && is_digit(*q); ++q) {
        if (exponent < 100'000'000) exponent = exponent * 10 + (*q - '0');
      }
      if (negative_exponent) exponent = -exponent;
      p = q;
    }
  }
  const std::from_chars_result done{p, std::errc()};
  if (small_digits == 0) {
    out = negative ? -0.0 : 0.0;
    return done;
  }

#if FLT_EVAL_METHOD == 0
  // Both operands exact, one rounding: correct without the big decimal.
  // (Where intermediates are wider, as with x87, a second rounding could
  // creep in, so the general path is taken.)
  if (small_exact && small < (std::uint64_t{1} << 53)) {
    const std::int64_t scale = point - small_digits + exponent;
    if (scale >= -22 && scale <= 22) {
      double value = static_cast<double>(small);
      value = scale < 0 ? value / kExactPowers[-scale] : value * kExactPowers[scale];
      out = negative ? -value : value;
      return done;
    }
  }
#endif

  const std::int64_t decimal_point = point + exponent;
  if (decimal_point > 400) return {p, std::errc::result_out_of_range};
  if (decimal_point < -400) return {p, std::errc::result_out_of_range};
  decimal.set_point(static_cast<int>(decimal_point));
  decimal.trim();

  std::uint64_t bits = 0;
  if (!nearest_double_bits(decimal, bits) || bits == 0) return {p, std::errc::result_out_of_range};
  if (negative) bits |= std::uint64_t{1} << 63;
  std::memcpy(&out, &bits, sizeof out);
  return done;
}

}  // namespace vennu::json
