// A plan that reads writes to a text that reads back to the same plan; a
// refused plan gets a message positioned inside the trimmed text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.h"
#include "subsystems/plan.h"
#include "text_position.h"

namespace {

using vennu::position_inside;

void check(bool condition) {
  if (!condition) std::abort();
}

// Backends come out in each map's own order; the canonical form sorts them.
std::string canonical(const vennu::Plan& plan) {
  auto text = vennu::json::canonicalize(vennu::plan_to_json(plan));
  check(text.has_value());
  return *text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto plan = vennu::plan_from_json(text);
  if (!plan) {
    const vennu::json::Error& error = plan.error();
    const std::string suffix =
        " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
    check(position_inside(vennu::trim_white_space(text), error.line, error.column));
    check(error.text().ends_with(suffix));
    return 0;
  }
  const std::string written = vennu::plan_to_json(*plan);
  auto again = vennu::plan_from_json(written);
  check(again.has_value());
  check(again->app_name == plan->app_name && again->functions == plan->functions &&
        again->agents == plan->agents && again->backends.size() == plan->backends.size());
  for (const auto& [name, spec] : plan->backends) {
    auto it = again->backends.find(name);
    check(it != again->backends.end() && it->second.backend_type == spec.backend_type &&
          it->second.config == spec.config);
  }
  check(canonical(*again) == canonical(*plan));
  if (plan->backends.size() < 2) check(vennu::plan_to_json(*again) == written);
  return 0;
}
