// The application plan: name, storage backends, functions and agent types.
//
// The mesh only reads app_name; the rest is carried and written back. A plan
// is built once and never changed, so it may be read from any thread.

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "base/seeded_hash.h"
#include "json/json.h"

namespace vennu {

struct BackendSpec {
  std::string backend_type;
  json::Value config;  // any JSON value, null when absent
};

struct Plan {
  std::string app_name;
  // Iteration order is unspecified and differs between plans.
  TextMap<BackendSpec> backends;
  std::vector<std::string> functions;
  std::vector<std::string> agents;
};

// The default plan: the given name, nothing else.
Plan default_plan(std::string app_name);

// Reads a plan text. Unicode White_Space is trimmed from both ends first; an
// empty remainder or exactly "{}" gives the default plan with an empty name.
// Otherwise the remainder must be a Plan as a JSON object or array; error
// positions count from the trimmed text.
Expected<Plan, json::Error> plan_from_json(std::string_view text);

// Removes Unicode White_Space (U+0009-U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) from both
// ends of UTF-8 text.
std::string_view trim_white_space(std::string_view text);

// {"app_name":…,"backends":{…},"functions":[…],"agents":[…]}, compact, keys
// in that order; backends in the map's order, each {"backend_type":…,"config":…}.
std::string plan_to_json(const Plan& plan);

}  // namespace vennu
