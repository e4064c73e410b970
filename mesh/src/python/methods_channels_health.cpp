// The methods left once agents, state and migrations have theirs:
// publishing on a channel, the health snapshot, which reads a count from
// every subsystem, and the plan as JSON. This file makes their entry points
// too, so that each body inlines into its entry point (method_table.h).

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "answers.h"
#include "arguments.h"
#include "base/error.h"
#include "docstrings.h"
#include "errors.h"
#include "interpreter_lock.h"
#include "json/json.h"
#include "method_table.h"
#include "str_result.h"
#include "subsystems/mesh.h"

namespace vennu::python {
namespace {

constexpr auto publish_method =
    method("publish", publish_doc, param::key("topic"), param::text("payload_json"));

PyObject* publish(Mesh& mesh, HashedKey topic, std::string_view payload_json) {
  std::optional<json::Error> invalid;
  std::optional<MeshResult<std::uint64_t>> receivers;
  without_interpreter_lock(payload_json.size() >= kLargeWorkBytes, [&] {
    invalid = json::validate(payload_json);
    if (!invalid) receivers.emplace(mesh.channels.publish(topic, payload_json));
  });
  if (invalid) return raise_json_error(*invalid);
  if (!*receivers) return raise_mesh_error(receivers->error());
  return PyLong_FromUnsignedLongLong(**receivers);
}

void append_count(std::string& out, std::string_view key, std::uint64_t count) {
  out += '"';
  out += key;
  out += "\":";
  json::write_unsigned(count, out);
}

// Written in the byte order of its keys at every level, as a generic JSON
// object would be; the counts are read one subsystem at a time, each
// subsystem's in one read, so that the agents' counts agree.
constexpr auto health_snapshot_method = method("health_snapshot", health_snapshot_doc);

PyObject* health_snapshot(Mesh& mesh) {
  const std::string& app = mesh.plan.app_name;
  const AgentRegistry::Counts agents = mesh.registry.counts();
  const std::uint64_t keys = mesh.state_store.key_count();
  const std::uint64_t active = mesh.migrations.count_active();
  const std::uint64_t topics = mesh.channels.topic_count();

  ResultText result;
  std::string& out = result.text();
  out += "{\"agents\":{";
  append_count(out, "error", agents.of(AgentStatus::kError));
  out += ',';
  append_count(out, "idle", agents.of(AgentStatus::kIdle));
  out += ',';
  append_count(out, "running", agents.of(AgentStatus::kRunning));
  out += ',';
  append_count(out, "total", agents.total);
  out += "},\"app\":";
  json::write_string(app, out);
  out += ",\"channels\":{";
  append_count(out, "topics", topics);
  out += "},\"migrations\":{";
  append_count(out, "active", active);
  out += "},\"state\":{";
  append_count(out, "keys", keys);
  out += "},\"status\":\"ok\"}";
  return new_str(out);
}

constexpr auto plan_json_method = method("plan_json", plan_json_doc);

PyObject* plan_json(Mesh& mesh) { return to_str(plan_to_json(mesh.plan)); }

}  // namespace

bool channel_health_methods(std::span<PyMethodDef, kChannelHealthMethodCount> out) {
  return MethodTable<Method<publish_method, publish>,
                     Method<health_snapshot_method, health_snapshot>,
                     Method<plan_json_method, plan_json>>::fill(out);
}

}  // namespace vennu::python
