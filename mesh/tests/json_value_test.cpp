#include <gtest/gtest.h>

#include <map>
#include <string>

#include "json/json.h"
#include "json_agreement.h"

namespace vennu::json {
namespace {

TEST(JsonValue, ObjectKeysSortedByBytesLastDuplicateWins) {
  Object object;
  object.set("b", Value::unsigned_integer(1));
  object.set("a", Value::unsigned_integer(2));
  object.set("B", Value::unsigned_integer(3));
  object.set("a", Value::unsigned_integer(4));
  EXPECT_EQ(write(Value::object(object)), R"({"B":3,"a":4,"b":1})");
  ASSERT_NE(object.find("B"), nullptr);
  EXPECT_EQ(object.find("c"), nullptr);

  const Case cases[] = {
      {R"({"a":1,"a":2})", R"({"a":2})"},
      {R"({"b":1,"a":2,"B":3})", R"({"B":3,"a":2,"b":1})"},
      {R"({"\u00e9":1,"z":2,"\n":3})", "{\"\\n\":3,\"z\":2,\"\xc3\xa9\":1}"},
      {R"({"b":{"y":[{"d":1,"c":2,"d":3}],"x":2},"a":0,"b":false})", R"({"a":0,"b":false})"},
      {R"({"b":{"y":[{"d":1,"c":2,"d":3}],"x":2},"a":0})",
       R"({"a":0,"b":{"x":2,"y":[{"c":2,"d":3}]}})"},
      {R"( { "a" : [ 1 , true , null , "x" ] } )", R"({"a":[1,true,null,"x"]})"},
      // Escapes put the written bytes of a key out of its order.
      {R"({"A":1,"\"":2})", R"({"\"":2,"A":1})"},
      {R"({"\b":1,"\u0001":2})", R"({"\u0001":2,"\b":1})"},
      {R"({"\"":1,"A":2})", R"({"\"":1,"A":2})"},
      {R"({"\u0061":1,"a":2,"\u0062":3})", R"({"a":2,"b":3})"},
  };
  for (const Case& c : cases) EXPECT_EQ(compact(c.input), c.expected) << c.input;
  EXPECT_EQ(parse(R"({"a":1,"a":2})")->as_object().size(), 1u);
}

TEST(JsonValue, LargeObjectsAreSortedWithRepeatsResolved) {
  std::map<std::string, int> last;
  std::string text = "{";
  for (int i = 2999; i >= 0; --i) {
    const std::string key = std::to_string(i % 1000);
    text += i == 2999 ? "\"" : ",\"";
    text += key + "\":" + std::to_string(i);
    last[key] = i;
  }
  text += "}";
  std::string expected = "{";
  for (const auto& [key, value] : last) {
    expected += expected.size() == 1 ? "\"" : ",\"";
    expected += key + "\":" + std::to_string(value);
  }
  expected += "}";
  EXPECT_EQ(compact(text), expected);
  EXPECT_EQ(compact(R"({"b":1,"a":2})"), R"({"a":2,"b":1})");
}

}  // namespace
}  // namespace vennu::json
