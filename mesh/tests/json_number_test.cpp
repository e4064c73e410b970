#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "json/json.h"
#include "json_agreement.h"

namespace vennu::json {
namespace {

TEST(JsonNumber, CompactForms) {
  const Case cases[] = {
      {"1.50", "1.5"},
      {"2.0", "2.0"},
      {"1e2", "100.0"},
      {"100", "100"},
      {"1e16", "1e+16"},
      {"0.000001", "1e-6"},
      {"-0", "-0.0"},
      {"-0.0", "-0.0"},
      {"0", "0"},
      {"0.0", "0.0"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"1e15", "1000000000000000.0"},
      {"123456789012345.6", "123456789012345.6"},
      {"1e-5", "0.00001"},
      {"0.5", "0.5"},
      {"0.1", "0.1"},
      {"-1.5", "-1.5"},
      {"1.5e-7", "1.5e-7"},
      {"1E-6", "1e-6"},
      {"123456789012345680000", "1.2345678901234568e+20"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"5e-324", "5e-324"},
      {"2e-324", "0.0"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"1e-999999999999999999", "0.0"},
      {"0e999999999999999999", "0.0"},
      {std::string("1") + std::string(400, '0') + "e-399", "10.0"},
      {"0.3e+1", "3.0"},
      {"0.000012300", "0.0000123"},
      {"0.0001230e-2", "1.23e-6"},
      {"12.3400e1", "123.4"},
      {"-0.0e5", "-0.0"},
      {"1230000000000000e0", "1230000000000000.0"},
      {"12300000000000000e0", "1.23e+16"},
      {"123456789012345.0", "123456789012345.0"},
      {"1234567890123456.0", "1234567890123456.0"},
      {"1e300", "1e+300"},
      {"1e301", "1e+301"},
      {"1e-300", "1e-300"},
      {"0.1e309", "1e+308"},
      {"1.7976931348623158e308", "1.7976931348623157e+308"},
      // At the edges of the decimals copied as they stand.
      {"0.00001", "0.00001"},
      {"-0.000012", "-0.000012"},
      {"0.0000012", "1.2e-6"},
      {"12345678901234.5", "12345678901234.5"},
      {"0.123456789012345", "0.123456789012345"},
      {"0.0000123456789012345", "0.0000123456789012345"},
      {"0.1234567890123456", "0.1234567890123456"},
      {"1.10", "1.1"},
      {"-100.25", "-100.25"},
  };
  for (const Case& c : cases) EXPECT_EQ(compact(c.input), c.expected) << c.input;
}

TEST(JsonNumber, NumbersKeepTheirKind) {
  EXPECT_EQ(parse("5")->kind(), Kind::kUnsigned);
  EXPECT_EQ(parse("-5")->as_signed(), -5);
  EXPECT_EQ(parse("5.0")->kind(), Kind::kDouble);
  EXPECT_EQ(parse("1e2")->kind(), Kind::kDouble);
  const double negative_zero = parse("-0")->as_double();
  EXPECT_TRUE(negative_zero == 0.0 && std::signbit(negative_zero));
  EXPECT_NE(*parse("-0"), *parse("0.0"));
}

TEST(JsonNumber, IntegersKeepTheirKindWithinTheirRange) {
  struct KindCase {
    std::string text;
    Kind kind;
  };
  const KindCase cases[] = {
      {"999999999999999999", Kind::kUnsigned},
      {"9223372036854775808", Kind::kUnsigned},
      {"18446744073709551615", Kind::kUnsigned},
      {"18446744073709551616", Kind::kDouble},
      {"99999999999999999999", Kind::kDouble},
      {"-999999999999999999", Kind::kSigned},
      {"-9223372036854775808", Kind::kSigned},
      {"-9223372036854775809", Kind::kDouble},
      {"-0", Kind::kDouble},
  };
  for (const KindCase& c : cases) {
    auto value = parse(c.text);
    ASSERT_TRUE(value.has_value()) << c.text;
    EXPECT_EQ(value->kind(), c.kind) << c.text;
    if (c.kind != Kind::kDouble) {
      EXPECT_EQ(compact(c.text), c.text);
    }
  }
  EXPECT_EQ(parse("18446744073709551615")->as_unsigned(),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse("12345678901234567")->as_unsigned(), 12345678901234567u);
  EXPECT_EQ(parse("-9223372036854775808")->as_signed(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parse("-123456789012345678")->as_signed(), -123456789012345678);
}

// Canonicalizing lays short decimals out from their digits; the tree goes
// through a double and back. Both must agree on every form.
TEST(JsonNumber, DecimalsAgreeWithTheConversionBothWays) {
  std::mt19937_64 random(20240611);
  auto digits = [&](std::size_t count, bool nonzero_first) {
    static constexpr char kDigits[] = "0000123456789";  // zeros are where the edge cases are
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += kDigits[random() % (sizeof kDigits - 1)];
    if (nonzero_first && !text.empty() && text[0] == '0') text[0] = '7';
    return text;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = random() % 2 ? "-" : "";
    text += random() % 3 == 0 ? "0" : digits(static_cast<std::size_t>(1 + random() % 17), true);
    if (random() % 4 != 0) {
      text += '.';
      text += digits(static_cast<std::size_t>(1 + random() % 17), false);
    }
    if (random() % 2 != 0) {
      text += random() % 2 ? "e" : "E";
      if (random() % 2 != 0) text += random() % 2 ? "-" : "+";
      text += std::to_string(random() % 330);
    }
    compact(text);
  }
}

TEST(JsonNumber, CompactTextMayOutgrowItsInput) {
  std::string text = "{\"b\":[";
  std::string expected = "{\"a\":-0.0,\"b\":[";
  for (int i = 0; i < 1000; ++i) {
    text += i == 0 ? "1e15" : ",1e15";
    expected += i == 0 ? "1000000000000000.0" : ",1000000000000000.0";
  }
  text += "],\"a\":-0}";
  expected += "]}";
  EXPECT_EQ(compact(text), expected);
}

}  // namespace
}  // namespace vennu::json
