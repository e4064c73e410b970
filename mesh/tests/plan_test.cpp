#include "subsystems/plan.h"

#include <gtest/gtest.h>

#include <string>

namespace vennu {
namespace {

struct Case {
  std::string input;
  std::string expected;  // the plan written back, or the full error text
};

std::string read_back(std::string_view text) {
  auto plan = plan_from_json(text);
  return plan ? plan_to_json(*plan) : plan.error().text();
}

const std::string kDefault = R"({"app_name":"","backends":{},"functions":[],"agents":[]})";
const std::string kMyApp = R"({"app_name":"myapp","backends":{},"functions":[],"agents":[]})";

TEST(PlanFromJson, Accepted) {
  const std::string deepest = std::string(126, '[') + std::string(126, ']');
  const Case cases[] = {
      {R"({"app_name":"a","extra":)" + deepest + "}",
       R"({"app_name":"a","backends":{},"functions":[],"agents":[]})"},
      {"", kDefault},
      {"{}", kDefault},
      {" {} ", kDefault},
      {"    ", kDefault},
      {"\xc2\xa0\xc2\xa0", kDefault},
      {"\xe3\x80\x80\t{}\xe2\x80\xa9\xc2\x85", kDefault},
      {R"({"app_name":"myapp"})", kMyApp},
      {"\xe2\x80\x8a{\"app_name\" : \"myapp\"}\n\xe1\x9a\x80", kMyApp},
      {R"(["myapp"])", kMyApp},
      {R"({"app\u005fname":"myapp"})", kMyApp},
      {R"({"app_name":"myapp","extra":[1,2,{"x":null}],"extra":1e999})", kMyApp},
      {R"({"app_name":"myapp","backends":{"db":{"backend_type":"sqlite"}}})",
       R"({"app_name":"myapp","backends":{"db":{"backend_type":"sqlite","config":null}},"functions":[],"agents":[]})"},
      {R"({"agents":["A"],"app_name":"x"})",
       R"({"app_name":"x","backends":{},"functions":[],"agents":["A"]})"},
      {R"(["x",{"db":["redis",{"b":1,"a":[2.50]}]},["f","g"],["A"]])",
       R"({"app_name":"x","backends":{"db":{"backend_type":"redis","config":{"a":[2.5],"b":1}}},"functions":["f","g"],"agents":["A"]})"},
      {R"(["x",{},["f"]])", R"({"app_name":"x","backends":{},"functions":["f"],"agents":[]})"},
      {R"({"app_name":"x","backends":{"db":{"backend_type":"a","config":1},"db":["b"]}})",
       R"({"app_name":"x","backends":{"db":{"backend_type":"b","config":null}},"functions":[],"agents":[]})"},
      {R"({"app_name":"x","backends":{"db":{"other":[{}],"config":null,"backend_type":"t"}}})",
       R"({"app_name":"x","backends":{"db":{"backend_type":"t","config":null}},"functions":[],"agents":[]})"},
  };
  for (const Case& c : cases) EXPECT_EQ(read_back(c.input), c.expected) << c.input;
}

TEST(PlanFromJson, KeepsEveryBackend) {
  auto plan = plan_from_json(
      R"({"app_name":"a","backends":{"x":["t1"],"y":{"backend_type":"t2","config":[1]}}})");
  ASSERT_TRUE(plan.has_value());
  ASSERT_EQ(plan->backends.size(), 2u);
  EXPECT_EQ(plan->backends.at("x").backend_type, "t1");
  EXPECT_EQ(json::write(plan->backends.at("y").config), "[1]");
  auto reread = plan_from_json(plan_to_json(*plan));
  ASSERT_TRUE(reread.has_value());
  EXPECT_EQ(reread->backends.size(), 2u);
  EXPECT_EQ(reread->backends.at("y").backend_type, "t2");
}

TEST(PlanFromJson, Refused) {
  const std::string deep = R"({"app_name":"a","extra":)" + std::string(126, '[');
  const Case cases[] = {
      {"{ }", "missing field `app_name` at line 1 column 3"},
      {"[]", "invalid length 0, expected struct Plan with 4 elements at line 1 column 2"},
      {"[ ]", "invalid length 0, expected struct Plan with 4 elements at line 1 column 3"},
      {R"({"app_name":"a","app_name":"b"})", "duplicate field `app_name` at line 1 column 26"},
      {R"({"app_name":"myapp","extra":[1,})", "expected value at line 1 column 32"},
      {R"({"app_name":"myapp","functions":null})",
       "invalid type: null, expected a sequence at line 1 column 36"},
      {R"({"app_name":5})", "invalid type: integer `5`, expected a string at line 1 column 13"},
      {R"({"app_name":-5})", "invalid type: integer `-5`, expected a string at line 1 column 14"},
      {R"({"app_name":1.5})",
       "invalid type: floating point `1.5`, expected a string at line 1 column 15"},
      {R"({"app_name":1e16})",
       "invalid type: floating point `1e16`, expected a string at line 1 column 16"},
      {R"({"app_name":true})",
       "invalid type: boolean `true`, expected a string at line 1 column 16"},
      {R"({"app_name": []})", "invalid type: sequence, expected a string at line 1 column 14"},
      {R"({"app_name":"a","agents":"abc"})",
       "invalid type: string \"abc\", expected a sequence at line 1 column 30"},
      {R"({"app_name":"a","functions":["f",{}]})",
       "invalid type: map, expected a string at line 1 column 34"},
      {R"({"app_name":"a","backends":[]})",
       "invalid type: sequence, expected a map at line 1 column 28"},
      {R"({"app_name":"a","backends":{"db":5}})",
       "invalid type: integer `5`, expected struct BackendSpec at line 1 column 34"},
      {R"({"app_name":"a","backends":{"db":{}}})",
       "missing field `backend_type` at line 1 column 35"},
      {R"({"app_name":"a","backends":{"db":[]}})",
       "invalid length 0, expected struct BackendSpec with 2 elements at line 1 column 35"},
      {R"({"app_name":"a","backends":{"db":["t",1,2]}})",
       "trailing characters at line 1 column 41"},
      {R"({"app_name":"a","backends":{"db":{"backend_type":"t","backend_type":"u"}}})",
       "duplicate field `backend_type` at line 1 column 67"},
      {R"(["a",{},[],[],5])", "trailing characters at line 1 column 15"},
      {R"(["a",{},[],[],])", "trailing comma at line 1 column 15"},
      {R"(["a" "b"])", "expected `,` or `]` at line 1 column 6"},
      {R"("abc")", "invalid type: string \"abc\", expected struct Plan at line 1 column 5"},
      {"5", "invalid type: integer `5`, expected struct Plan at line 1 column 1"},
      {"null", "invalid type: null, expected struct Plan at line 1 column 4"},
      {"\n\n{bad", "key must be a string at line 1 column 2"},
      {"{\"app_name\":\"a\"} x", "trailing characters at line 1 column 18"},
      {"{\"app_name\":\"a\"}{}", "trailing characters at line 1 column 17"},
      {"{\"app_name\":\"a\",\n\"x\":\"\xff\"}", "invalid unicode code point at line 2 column 6"},
      {deep + "[]" + std::string(126, ']') + "}", "recursion limit exceeded at line 1 column 151"},
      {"{", "EOF while parsing an object at line 1 column 1"},
  };
  for (const Case& c : cases) EXPECT_EQ(read_back(c.input), c.expected) << c.input;
}

TEST(PlanToJson, DefaultPlanCarriesItsName) {
  EXPECT_EQ(plan_to_json(default_plan("a")),
            R"({"app_name":"a","backends":{},"functions":[],"agents":[]})");
  EXPECT_EQ(trim_white_space("\xc2\xa0 x\xe2\x80\x80"), "x");
  EXPECT_EQ(trim_white_space("\xc2 x"), "\xc2 x");
}

}  // namespace
}  // namespace vennu
