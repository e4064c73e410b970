#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "json/json.h"
#include "json_agreement.h"

namespace vennu::json {
namespace {

TEST(JsonWriter, StringsEscapeOnlyWhatTheyMust) {
  std::string out;
  write_string("\"\\\b\t\n\f\r\x01\x1f/\x7f\xc3\xa9", out);
  EXPECT_EQ(out, "\"\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001f/\x7f\xc3\xa9\"");
  out.clear();
  write_string(std::string_view("a\0b", 3), out);
  EXPECT_EQ(out, "\"a\\u0000b\"");
}

TEST(JsonWriter, NonFiniteWrittenAsNull) {
  EXPECT_EQ(write(Value::floating(std::numeric_limits<double>::quiet_NaN())), "null");
  EXPECT_EQ(write(Value::floating(-std::numeric_limits<double>::infinity())), "null");
  std::string message;
  write_double_for_message(1e16, message);
  write_double_for_message(1.5e-7, message);
  EXPECT_EQ(message, "1e161.5e-7");
}

TEST(JsonWriter, IntegerWritersGiveDecimalText) {
  for (const std::uint64_t value :
       {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{10}, std::uint64_t{99},
        std::uint64_t{100}, std::uint64_t{1234567}, std::uint64_t{10000000000000000000u},
        std::numeric_limits<std::uint64_t>::max()}) {
    std::string out = "x";
    write_unsigned(value, out);
    EXPECT_EQ(out.substr(1), std::to_string(value));
    EXPECT_EQ(out[0], 'x');
  }
  for (const std::int64_t value :
       {std::int64_t{0}, std::int64_t{-1}, std::int64_t{-10}, std::int64_t{-100},
        std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    std::string out = "x";
    write_signed(value, out);
    EXPECT_EQ(out.substr(1), std::to_string(value));
    EXPECT_EQ(out[0], 'x');
  }
}

}  // namespace
}  // namespace vennu::json
