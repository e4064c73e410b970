#include "json/decimal_to_double.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace vennu::json {
namespace {

std::uint64_t bits_of(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double double_of(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

struct Converted {
  double value = -1.5;  // never a result below, so "untouched" shows
  std::errc ec = std::errc();
  std::size_t consumed = 0;
};

Converted convert(const std::string& text) {
  Converted result;
  const auto [ptr, ec] = decimal_to_double(text.data(), text.data() + text.size(), result.value);
  result.ec = ec;
  result.consumed = static_cast<std::size_t>(ptr - text.data());
  return result;
}

// Exact decimal digits of base^exponent, most significant first.
std::string power_digits(unsigned base, unsigned exponent) {
  std::vector<unsigned> little_endian{1};
  for (unsigned i = 0; i < exponent; ++i) {
    unsigned carry = 0;
    for (unsigned& digit : little_endian) {
      const unsigned n = digit * base + carry;
      digit = n % 10;
      carry = n / 10;
    }
    for (; carry > 0; carry /= 10) little_endian.push_back(carry % 10);
  }
  std::string text;
  for (auto it = little_endian.rbegin(); it != little_endian.rend(); ++it) {
    text.push_back(static_cast<char>('0' + *it));
  }
  return text;
}

// 2^-1075, half the smallest subnormal, written out exactly.
std::string half_smallest_subnormal() {
  const std::string digits = power_digits(5, 1075);  // 2^-1075 = 5^1075 / 10^1075
  return "0." + std::string(1075 - digits.size(), '0') + digits;
}

TEST(DecimalToDouble, KnownValues) {
  const struct {
    const char* text;
    double expected;
  } cases[] = {
      {"0", 0.0},
      {"-0", -0.0},
      {"0.000e999999999", 0.0},
      {"1", 1.0},
      {"-2.5", -2.5},
      {"0.1", 0x1.999999999999ap-4},
      {"1e23", 0x1.52d02c7e14af6p+76},
      {"9007199254740993", 0x1p+53},
      {"9007199254740995", 0x1.0000000000002p+53},
      {"-350185e22", -0x1.6a15329c59711p+91},
      {"123456789012345678901234567890e-20", 0x1.26580b487e6b7p+30},
      {"1e-300", 0x1.56e1fc2f8f359p-997},
      {"8.98846567431158e307", 0x1p+1023},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"1.7976931348623158e308", std::numeric_limits<double>::max()},
      {"2.2250738585072011e-308", 0x0.fffffffffffffp-1022},
      {"2.2250738585072012e-308", 0x1p-1022},
      {"4.9406564584124654e-324", 0x0.0000000000001p-1022},
      {"2.4703282292062328e-324", 0x0.0000000000001p-1022},
      {"0.00000000000000000000000000000000000001E+38", 1.0},
      {"1.00000000000000011102230246251565404236316680908203125", 1.0},
      {"1.00000000000000011102230246251565404236316680908203126", 0x1.0000000000001p+0},
      {"1.00000000000000033306690738754696212708950042724609375", 0x1.0000000000002p+0},
      // Rounding up carries out of the mantissa into the exponent.
      {"0.99999999999999999", 1.0},
      {"1.9999999999999999", 2.0},
      {"9.9999999999999999e22", 0x1.52d02c7e14af6p+76},
      {"2.2250738585072013e-308", 0x1p-1022},
  };
  for (const auto& c : cases) {
    const Converted result = convert(c.text);
    EXPECT_EQ(result.ec, std::errc()) << c.text;
    EXPECT_EQ(bits_of(result.value), bits_of(c.expected)) << c.text;
    EXPECT_EQ(result.consumed, std::strlen(c.text)) << c.text;
  }
}

// What the JSON reader calls, whichever conversion it is on this platform.
TEST(DecimalToDouble, ReaderConversionRoundsOnce) {
  for (const std::string text : {"350185e22", "-350185e22", "9007199254740993", "0.1"}) {
    double value = 0;
    ASSERT_EQ(read_double(text.data(), text.data() + text.size(), value).ec, std::errc()) << text;
    EXPECT_EQ(bits_of(value), bits_of(convert(text).value)) << text;
  }
  double value = 0;
  const std::string text = "350185e22";
  read_double(text.data(), text.data() + text.size(), value);
  EXPECT_EQ(bits_of(value), bits_of(0x1.6a15329c59711p+91));
}

TEST(DecimalToDouble, OutOfRangeLeavesTheValue) {
  for (const char* text :
       {"1e309", "-1.8e308", "1.7976931348623159e308", "-1.7976931348623159e308", "1e999999999999",
        "2.4703282292062327e-324", "1e-400", "-1e-99999999999"}) {
    const Converted result = convert(text);
    EXPECT_EQ(result.ec, std::errc::result_out_of_range) << text;
    EXPECT_EQ(result.value, -1.5) << text;
  }
}

TEST(DecimalToDouble, StopsWhereTheNumberEnds) {
  EXPECT_EQ(convert("12.5,").consumed, 4u);
  EXPECT_EQ(convert("1e").consumed, 1u);
  EXPECT_EQ(convert("1e+").consumed, 1u);
  EXPECT_EQ(convert("7.e3").consumed, 4u);
  EXPECT_EQ(convert("7.e3").value, 7000.0);
  EXPECT_EQ(convert("-").ec, std::errc::invalid_argument);
  EXPECT_EQ(convert(".").ec, std::errc::invalid_argument);
  EXPECT_EQ(convert("x").ec, std::errc::invalid_argument);
}

// Exactly halfway between two doubles, ties go to the even one; any digit
// past the half, however far out, goes up. Past 800 digits only whether
// something non-zero was dropped counts.
TEST(DecimalToDouble, HalfwayCasesRoundToEven) {
  const std::string half = half_smallest_subnormal();
  const Converted exact_half = convert(half);
  EXPECT_EQ(exact_half.ec, std::errc::result_out_of_range);
  EXPECT_EQ(bits_of(convert(half + "1").value), 1u);
  EXPECT_EQ(bits_of(convert(half + std::string(900, '0') + "1").value), 1u);
  EXPECT_EQ(bits_of(convert(half + std::string(900, '0')).value), bits_of(-1.5));

  // Three halves of the smallest subnormal: between 1 and 2 units, ties up
  // to the even 2.
  const std::string digits = power_digits(5, 1075);
  std::string tripled(digits.size() + 1, '0');
  unsigned carry = 0;
  for (std::size_t i = digits.size(); i-- > 0;) {
    const unsigned n = static_cast<unsigned>(digits[i] - '0') * 3 + carry;
    tripled[i + 1] = static_cast<char>('0' + n % 10);
    carry = n / 10;
  }
  tripled[0] = static_cast<char>('0' + carry);
  const std::string text = "0." + std::string(1075 - tripled.size() + (tripled[0] == '0'), '0') +
                           tripled.substr(tripled[0] == '0');
  EXPECT_EQ(bits_of(convert(text).value), 2u) << text.size();

  EXPECT_EQ(convert(power_digits(2, 1024)).ec, std::errc::result_out_of_range);
  EXPECT_EQ(convert(power_digits(2, 1023)).value, 0x1p+1023);
}

// Every finite double written with its shortest digits and with 17 digits
// reads back as itself.
TEST(DecimalToDouble, RoundTripsRandomDoubles) {
  std::mt19937_64 random(20261208);
  char text[64];
  for (int i = 0; i < 50'000; ++i) {
    const double value = double_of(random());
    if (!std::isfinite(value)) continue;
    for (const bool shortest : {true, false}) {
      const auto written = shortest ? std::to_chars(text, text + sizeof text, value)
                                    : std::to_chars(text, text + sizeof text, value,
                                                    std::chars_format::scientific, 16);
      double back = 0;
      const auto [ptr, ec] = decimal_to_double(text, written.ptr, back);
      ASSERT_EQ(ec, std::errc()) << std::string(text, written.ptr);
      ASSERT_EQ(ptr, written.ptr);
      ASSERT_EQ(bits_of(back), bits_of(value)) << std::string(text, written.ptr);
    }
  }
}

#if defined(__cpp_lib_to_chars) && !(defined(__i386__) && !defined(_MSC_VER))
// (Not on 32-bit x86, where the library's own conversion rounds twice.)
// Random decimals of up to 40 digits, point anywhere, exponents across the
// whole range and beyond: the same double as the standard library's.
TEST(DecimalToDouble, AgreesWithTheStandardLibrary) {
  std::mt19937_64 random(1208);
  std::string text;
  for (int i = 0; i < 300'000; ++i) {
    text.clear();
    if (random() % 2) text.push_back('-');
    const auto digits = 1 + random() % 40;
    const auto point = random() % (digits + 1);
    for (std::uint64_t d = 0; d < digits; ++d) {
      if (d == point && d != 0) text.push_back('.');
      text.push_back(static_cast<char>('0' + random() % 10));
    }
    const auto exponent = static_cast<long long>(random() % 700) - 360;
    text.push_back('e');
    text += std::to_string(exponent);
    double ours = -1.5;
    double theirs = -1.5;
    const auto a = decimal_to_double(text.data(), text.data() + text.size(), ours);
    const auto b = std::from_chars(text.data(), text.data() + text.size(), theirs);
    ASSERT_EQ(a.ptr, b.ptr) << text;
    if (b.ec == std::errc()) {
      ASSERT_EQ(a.ec, std::errc()) << text;
      ASSERT_EQ(bits_of(ours), bits_of(theirs)) << text;
    } else {
      // Too large or too small either way: the reader makes the same call.
      ASSERT_EQ(a.ec, std::errc::result_out_of_range) << text;
      ASSERT_TRUE(theirs == -1.5 || theirs == 0 || std::isinf(theirs) ||
                  std::fpclassify(theirs) == FP_SUBNORMAL)
          << text;
    }
  }
}
#endif

}  // namespace
}  // namespace vennu::json
