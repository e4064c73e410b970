// The methods on agents: registering, updating, deregistering, reading and
// listing them, and routing a call to one; the registry does the work
// (subsystems/registry.h). This file makes their entry points too, so that
// each body inlines into its entry point (method_table.h).

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "answers.h"
#include "arguments.h"
#include "base/error.h"
#include "docstrings.h"
#include "errors.h"
#include "interpreter_lock.h"
#include "json/json.h"
#include "method_table.h"
#include "py_ref.h"
#include "str_result.h"
#include "subsystems/mesh.h"

namespace vennu::python {
namespace {

// Conventional host name of the loopback interface.
constexpr std::string_view kRouteNode = "localhost";

constexpr auto register_agent_method =
    method("register_agent", register_agent_doc, param::text("agent_type"), param::key("agent_id"),
           param::u32("instance", 0), param::optional_text("metadata_json"));

PyObject* register_agent(Mesh& mesh, std::string_view agent_type, HashedKey agent_id,
                         std::uint32_t instance, std::optional<std::string_view> metadata_text) {
  std::string metadata_json;
  if (metadata_text) {
    std::optional<Expected<std::string, json::Error>> canonical;
    without_interpreter_lock(metadata_text->size() >= kLargeWorkBytes,
                             [&] { canonical.emplace(json::canonicalize(*metadata_text)); });
    if (!*canonical) return raise_json_error(canonical->error());
    metadata_json = std::move(**canonical);
  }
  // The registry writes the record into the answer as it registers, so that
  // no copy of the entry is made for it.
  ResultText result;
  bool ascii = false;
  std::uint64_t change = 0;
  auto registered = mesh.registry.register_agent_into(
      agent_type, agent_id, instance, std::move(metadata_json), result.text(), &ascii, &change);
  if (!registered) return raise_mesh_error(registered.error());
  return written_answer_or_undo(result.text(), ascii,
                                [&] { mesh.registry.undo_register(agent_id, change); });
}

constexpr auto update_agent_status_method = method("update_agent_status", update_agent_status_doc,
                                                   param::key("agent_id"), param::text("status"));

PyObject* update_agent_status(Mesh& mesh, HashedKey agent_id, std::string_view status_name) {
  const std::optional<AgentStatus> status = parse_status(status_name);
  if (!status) {
    return raise_mesh_error(MeshError::invalid_argument(unknown_status_message(status_name)));
  }
  auto updated = mesh.registry.update_status(agent_id, *status);
  if (!updated) return raise_mesh_error(updated.error());
  Py_RETURN_NONE;
}

constexpr auto deregister_agent_method =
    method("deregister_agent", deregister_agent_doc, param::key("agent_id"));

PyObject* deregister_agent(Mesh& mesh, HashedKey agent_id) {
  auto removed = mesh.registry.deregister(agent_id);
  if (!removed) return raise_mesh_error(removed.error());
  Py_RETURN_NONE;
}

constexpr auto get_agent_method = method("get_agent", get_agent_doc, param::key("agent_id"));

PyObject* get_agent(Mesh& mesh, HashedKey agent_id) {
  return record_answer(
      [&](std::span<char> room, std::size_t* size, bool* ascii) {
        return mesh.registry.read_record(agent_id, room, size, ascii);
      },
      [&](std::string& out, bool* ascii) {
        return mesh.registry.append_record(agent_id, out, ascii);
      });
}

constexpr auto list_agents_method =
    method("list_agents", list_agents_doc, param::optional_text("agent_type"),
           param::optional_text("status"));

PyObject* list_agents(Mesh& mesh, std::optional<std::string_view> agent_type,
                      std::optional<std::string_view> status) {
  return record_list(mesh.registry.agent_count(), [&](std::string& out, bool* ascii) {
    return mesh.registry.append_records(agent_type, status, out, ascii);
  });
}

// Keys in byte order: agent_id, agent_type, method, node, status.
constexpr std::string_view kDescriptorParts[] = {
    "{\"agent_id\":", ",\"agent_type\":", ",\"method\":", ",\"node\":\"",
    "\",\"status\":\"routed\"}"};

// Writes the descriptor: put(text) for its fixed parts, literal(text) for
// the names, as JSON string literals.
template <class Put, class Literal>
void write_descriptor(Put put, Literal literal, std::string_view agent_type,
                      std::string_view agent_id, std::string_view method) {
  put(kDescriptorParts[0]);
  literal(agent_id);
  put(kDescriptorParts[1]);
  literal(agent_type);
  put(kDescriptorParts[2]);
  literal(method);
  put(kDescriptorParts[3]);
  put(kRouteNode);  // plain letters: nothing to escape
  put(kDescriptorParts[4]);
}

// The answer of route_agent_call, written into the stack when it is short
// even if every byte of the names were escaped.
PyObject* route_descriptor(std::string_view agent_type, std::string_view agent_id,
                           std::string_view method) {
  constexpr std::size_t kShortNameBytes = 64;
  if (agent_type.size() <= kShortNameBytes && agent_id.size() <= kShortNameBytes &&
      method.size() <= kShortNameBytes) {
    constexpr std::size_t kFixedBytes = [] {
      std::size_t size = kRouteNode.size();
      for (const std::string_view part : kDescriptorParts) size += part.size();
      return size;
    }();
    std::array<char, 3 * json::string_literal_room(kShortNameBytes) + kFixedBytes> text;
    char* out = text.data();
    write_descriptor(
        [&](std::string_view part) {
          std::memcpy(out, part.data(), part.size());
          out += part.size();
        },
        [&](std::string_view name) { out = json::write_string_to(out, name); }, agent_type,
        agent_id, method);
    return new_str(std::string_view(text.data(), static_cast<std::size_t>(out - text.data())));
  }
  ResultText result;
  std::string& out = result.text();
  write_descriptor([&](std::string_view part) { out += part; },
                   [&](std::string_view name) { json::write_string(name, out); }, agent_type,
                   agent_id, method);
  return new_str(out);
}

constexpr auto route_agent_call_method =
    method("route_agent_call", route_agent_call_doc, param::text("agent_type"),
           param::key("agent_id"), param::text("method"), param::text("args_json", "{}"));

PyObject* route_agent_call(Mesh& mesh, std::string_view agent_type, HashedKey agent_id,
                           std::string_view method, std::string_view args_json) {
  // The arguments are only checked: the caller dispatches with its own copy.
  {
    std::optional<json::Error> invalid;
    without_interpreter_lock(args_json.size() >= kLargeWorkBytes,
                             [&] { invalid = json::validate(args_json); });
    if (invalid) return raise_json_error(*invalid);
  }
  // The answer does not depend on the change, so it is made whole before
  // the agent is looked up: running out of memory then leaves the agent's
  // status as it was, and making a large one, which lets the interpreter
  // lock go, cannot come between the check of the status and its update.
  OwnedRef descriptor = OwnedRef::steal(route_descriptor(agent_type, agent_id.text, method));
  if (!descriptor) return nullptr;
  // A stopped or failed agent takes no calls: it is left as it is.
  constexpr AgentStatus kRefused[] = {AgentStatus::kStopped, AgentStatus::kError};
  auto routed = mesh.registry.update_status_unless(agent_id, AgentStatus::kRunning, kRefused);
  if (!routed) return raise_mesh_error(routed.error());
  if (!*routed) {
    return raise_mesh_error(
        MeshError::agent_not_found(std::string(agent_type), std::string(agent_id.text)));
  }
  return descriptor.release();
}

}  // namespace

bool agent_methods(std::span<PyMethodDef, kAgentMethodCount> out) {
  return MethodTable<Method<register_agent_method, register_agent>,
                     Method<update_agent_status_method, update_agent_status>,
                     Method<deregister_agent_method, deregister_agent>,
                     Method<get_agent_method, get_agent>, Method<list_agents_method, list_agents>,
                     Method<route_agent_call_method, route_agent_call>>::fill(out);
}

}  // namespace vennu::python
