#include "subsystems/plan.h"

#include <array>
#include <utility>

#include "base/quoted_text.h"

namespace vennu {
namespace {

using json::Reader;

// UTF-8 encodings of the White_Space characters that trimming removes.
// clang-format off
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};
// clang-format on

std::size_t leading_space(std::string_view text) {
  for (std::string_view space : kWhiteSpace) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

std::size_t trailing_space(std::string_view text) {
  for (std::string_view space : kWhiteSpace) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

// How a value of the wrong kind is named in "invalid type" messages.
std::string describe(const json::Value& value) {
  std::string out;
  switch (value.kind()) {
    case json::Kind::kNull:
      return "null";
    case json::Kind::kBool:
      return value.as_bool() ? "boolean `true`" : "boolean `false`";
    case json::Kind::kUnsigned:
      out = "integer `";
      json::write_unsigned(value.as_unsigned(), out);
      break;
    case json::Kind::kSigned:
      out = "integer `";
      json::write_signed(value.as_signed(), out);
      break;
    case json::Kind::kDouble:
      out = "floating point `";
      json::write_double_for_message(value.as_double(), out);
      break;
    case json::Kind::kString:
      return "string " + quote_text(value.as_string());
    case json::Kind::kArray:
      return "sequence";
    case json::Kind::kObject:
      return "map";
  }
  out += '`';
  return out;
}

// Reads the plan record straight from the text, so that every fault is
// reported at the byte where it shows: a repeated field right after its key,
// a scalar of the wrong kind right after the scalar, an array or object of
// the wrong kind at its opening bracket, a missing field once the
// record's closing bracket has been read.
class PlanReader {
 public:
  explicit PlanReader(std::string_view text) : reader_(text) {}

  bool read(Plan& plan) { return read_plan(plan) && reader_.finish(); }
  const json::Error& error() const { return reader_.error(); }

 private:
  // Field numbers in declaration order; the count stands for any other key.
  enum PlanField { kAppName, kBackends, kFunctions, kAgents, kPlanFields };
  enum BackendField { kBackendType, kConfig, kBackendFields };

  static constexpr std::array<std::string_view, kPlanFields> kPlanFieldNames = {
      "app_name", "backends", "functions", "agents"};
  static constexpr std::array<std::string_view, kBackendFields> kBackendFieldNames = {
      "backend_type", "config"};

  template <std::size_t N>
  static std::size_t field_index(const std::array<std::string_view, N>& names,
                                 std::string_view key) {
    for (std::size_t i = 0; i < N; ++i) {
      if (names[i] == key) return i;
    }
    return N;
  }

  bool invalid_type(std::string_view wanted) {
    const std::string expected = ", expected " + std::string(wanted);
    const int next = reader_.peek();
    if (next == '[') return reader_.fail_on_next("invalid type: sequence" + expected);
    if (next == '{') return reader_.fail_on_next("invalid type: map" + expected);
    json::Value scalar;
    if (!reader_.read_value(scalar)) return false;
    return reader_.fail("invalid type: " + describe(scalar) + expected);
  }

  bool read_text(std::string& out) {
    if (reader_.peek() != '"') return invalid_type("a string");
    return reader_.read_string(out);
  }

  bool read_text_list(std::vector<std::string>& out) {
    if (reader_.peek() != '[') return invalid_type("a sequence");
    if (!reader_.begin_array()) return false;
    for (bool first = true;; first = false) {
      const auto step = reader_.next_element(first);
      if (step != Reader::Step::kItem) return step == Reader::Step::kEnd;
      if (!read_text(out.emplace_back())) return false;
    }
  }

  bool read_backends(TextMap<BackendSpec>& out) {
    if (reader_.peek() != '{') return invalid_type("a map");
    if (!reader_.begin_object()) return false;
    for (bool first = true;; first = false) {
      const auto step = reader_.next_key(first);
      if (step != Reader::Step::kItem) return step == Reader::Step::kEnd;
      std::string name;
      BackendSpec spec;
      if (!reader_.read_string(name) || !reader_.read_colon() || !read_backend(spec)) return false;
      out.insert_or_assign(std::move(name), std::move(spec));
    }
  }

  bool read_plan_field(std::size_t field, Plan& plan) {
    switch (field) {
      case kAppName:
        return read_text(plan.app_name);
      case kBackends:
        return read_backends(plan.backends);
      case kFunctions:
        return read_text_list(plan.functions);
      case kAgents:
        return read_text_list(plan.agents);
      default:
        return reader_.skip_value();
    }
  }

  bool read_backend_field(std::size_t field, BackendSpec& spec) {
    switch (field) {
      case kBackendType:
        return read_text(spec.backend_type);
      case kConfig:
        return reader_.read_value(spec.config);
      default:
        return reader_.skip_value();
    }
  }

  // A record as an object: known keys once each, in any order, others
  // checked and dropped; the first field is required.
  template <std::size_t N, class Record, class ReadField>
  bool read_record_object(const std::array<std::string_view, N>& names, Record& record,
                          ReadField read_field) {
    if (!reader_.begin_object()) return false;
    std::array<bool, N> seen{};
    for (bool first = true;; first = false) {
      const auto step = reader_.next_key(first);
      if (step == Reader::Step::kFailed) return false;
      if (step == Reader::Step::kEnd) break;
      std::string key;
      if (!reader_.read_string(key)) return false;
      const std::size_t field = field_index(names, key);
      if (field < N) {
        if (seen[field]) return reader_.fail("duplicate field `" + key + "`");
        seen[field] = true;
      }
      if (!reader_.read_colon() || !(this->*read_field)(field, record)) return false;
    }
    if (!seen[0]) return reader_.fail("missing field `" + std::string(names[0]) + "`");
    return true;
  }

  // A record as an array: fields by position, at least the first; missing
  // later fields keep their defaults.
  template <std::size_t N, class Record, class ReadField>
  bool read_record_array(std::string_view record_name, Record& record, ReadField read_field) {
    if (!reader_.begin_array()) return false;
    for (std::size_t field = 0; field < N; ++field) {
      const auto step = reader_.next_element(field == 0);
      if (step == Reader::Step::kFailed) return false;
      if (step == Reader::Step::kEnd) {
        if (field > 0) return true;
        return reader_.fail("invalid length 0, expected struct " + std::string(record_name) +
                            " with " + std::to_string(N) + " elements");
      }
      if (!(this->*read_field)(field, record)) return false;
    }
    return reader_.end_array();
  }

  bool read_plan(Plan& plan) {
    switch (reader_.peek()) {
      case '{':
        return read_record_object(kPlanFieldNames, plan, &PlanReader::read_plan_field);
      case '[':
        return read_record_array<kPlanFields>("Plan", plan, &PlanReader::read_plan_field);
      default:
        return invalid_type("struct Plan");
    }
  }

  bool read_backend(BackendSpec& spec) {
    switch (reader_.peek()) {
      case '{':
        return read_record_object(kBackendFieldNames, spec, &PlanReader::read_backend_field);
      case '[':
        return read_record_array<kBackendFields>("BackendSpec", spec,
                                                 &PlanReader::read_backend_field);
      default:
        return invalid_type("struct BackendSpec");
    }
  }

  Reader reader_;
};

void write_text_list(const std::vector<std::string>& items, std::string& out) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ',';
    json::write_string(items[i], out);
  }
  out += ']';
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  while (const std::size_t n = leading_space(text)) text.remove_prefix(n);
  while (const std::size_t n = trailing_space(text)) text.remove_suffix(n);
  return text;
}

Plan default_plan(std::string app_name) {
  Plan plan;
  plan.app_name = std::move(app_name);
  return plan;
}

Expected<Plan, json::Error> plan_from_json(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  if (trimmed.empty() || trimmed == "{}") return default_plan({});
  Plan plan;
  PlanReader reader(trimmed);
  if (!reader.read(plan)) return unexpected(reader.error());
  return plan;
}

std::string plan_to_json(const Plan& plan) {
  std::string out;
  out.reserve(128);
  out += "{\"app_name\":";
  json::write_string(plan.app_name, out);
  out += ",\"backends\":{";
  bool first = true;
  for (const auto& [name, spec] : plan.backends) {
    if (!first) out += ',';
    first = false;
    json::write_string(name, out);
    out += ":{\"backend_type\":";
    json::write_string(spec.backend_type, out);
    out += ",\"config\":";
    json::write(spec.config, out);
    out += '}';
  }
  out += "},\"functions\":";
  write_text_list(plan.functions, out);
  out += ",\"agents\":";
  write_text_list(plan.agents, out);
  out += '}';
  return out;
}

}  // namespace vennu
