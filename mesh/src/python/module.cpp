// The vennu_mesh extension module: the VennuMesh type and its methods.
//
// This is the only code that talks to the interpreter. Each method is
// declared once, by its table right above its body (arguments.h); the entry
// point made from it matches and converts the arguments, and the body makes
// its subsystem calls with no lock held across Python work and turns a
// MeshError into the exception of its kind (errors.h). Memory running out
// becomes MemoryError; any other C++ exception that escapes (a broken
// invariant) becomes PanicException instead of unwinding into the
// interpreter. Test builds add the hooks of test_hooks.h to the type.
//
// The interpreter lock is released around large work only, by the rule in
// interpreter_lock.h: every argument is read as a UTF-8 view first, and every
// result object but a not-yet-visible new str is made after the lock is back.
// Results are written as UTF-8 and made into a str at its final size
// (str_result.h), with no second decoding pass.

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.h"
#include "base/error.h"
#include "base/quoted_text.h"
#include "docstrings.h"
#include "errors.h"
#include "interpreter_lock.h"
#include "json/json.h"
#include "py_ref.h"
#include "str_result.h"
#include "subsystems/mesh.h"
#include "testing/python/test_hooks.h"

namespace vennu::python {
namespace {

constexpr const char* kVersion = "0.3.0";
// Conventional host name of the loopback interface.
constexpr std::string_view kRouteNode = "localhost";

// clang-format off
// On a free-threaded interpreter every thread that reaches the mesh through
// a shared name (a global, an attribute) changes its reference count: one
// cache line that all of them write. Deferred reference counting keeps those
// changes off the object, at a price: an unreachable mesh is then freed by
// the cyclic collector rather than at its last reference, so the type is
// one the collector tracks.
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030E0000
#define VENNU_DEFERRED_MESH 1
#else
#define VENNU_DEFERRED_MESH 0
#endif

struct MeshObject {
  PyObject_HEAD
  Mesh mesh;
};
// clang-format on

PyTypeObject* mesh_type = nullptr;

// The guard behind the interpreter's own descriptor check.
Mesh* mesh_of(PyObject* self) {
  if (mesh_type != nullptr && PyObject_TypeCheck(self, mesh_type)) {
    return &reinterpret_cast<MeshObject*>(self)->mesh;
  }
  raise_cannot_convert(self, "VennuMesh");
  return nullptr;
}

// Entry points

// Every entry point: no C++ exception crosses into the interpreter, but the
// forced unwind that ends a thread at exit passes through untouched (none is
// noexcept, and each catches std::exception only: interpreter_lock.h).
// Arguments are matched, then self is checked, then the arguments are
// converted in order, as the interpreter's own methods do.
template <const auto& Spec, auto Body>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    // Every argument given by position, in order, is already matched.
    constexpr std::size_t kParameters = Spec.parameters.size();
    PyObject* slots[kParameters];
    PyObject* const* matched = args;
    if (kwnames != nullptr || static_cast<std::size_t>(nargs) != kParameters) {
      if (!match_vectorcall(Compiled<Spec>::signature, args, nargs, kwnames, slots)) return nullptr;
      matched = slots;
    }
    Mesh* mesh = mesh_of(self);
    return mesh == nullptr ? nullptr : call_converted<Spec, Body, Mesh&>(*mesh, matched);
  } catch (const std::exception& error) {
    return raise_cpp_exception(error);
  }
}

template <const auto& Spec, auto Body>
PyObject* noargs_entry(PyObject* self, PyObject*) {
  try {
    Mesh* mesh = mesh_of(self);
    return mesh == nullptr ? nullptr : call_converted<Spec, Body, Mesh&>(*mesh, nullptr);
  } catch (const std::exception& error) {
    return raise_cpp_exception(error);
  }
}

// One method of the type: its table and its body.
template <const auto& Spec, auto Body>
struct Method {
  static bool intern() { return intern_parameter_names(Compiled<Spec>::signature); }
  static PyMethodDef def() {
    const char* doc = Compiled<Spec>::doc.data();
    if constexpr (Spec.parameters.size() == 0) {
      return {Spec.name, &noargs_entry<Spec, Body>, METH_NOARGS, doc};
    } else {
      PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) =
          &fast_entry<Spec, Body>;
      return {Spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
              METH_FASTCALL | METH_KEYWORDS, doc};
    }
  }
};

template <class... Methods>
struct MethodTable {
  static bool intern() { return (Methods::intern() && ...); }
  static std::array<PyMethodDef, sizeof...(Methods)> defs() { return {Methods::def()...}; }
};

// The calling thread's buffer for result texts, reused so that writing a
// result allocates only when it outgrows every earlier one. Nothing calls
// back into Python while it is in use, so one per thread is enough. Out of
// line: the compiler would otherwise repeat the thread-local look-up.
[[gnu::noinline]] std::string& thread_buffer() {
  thread_local std::string buffer;
  return buffer;
}

// Clears the thread's buffer for one result and, when done, lets go of a
// huge one rather than keeping it for the life of the thread.
class ResultText {
 public:
  ResultText() : text_(thread_buffer()) { text_.clear(); }
  // Not noexcept: taking the interpreter lock back may end the thread at
  // exit. While an exception unwinds, the buffer is freed in place instead,
  // as it is during the forced unwind that ends the thread, which already
  // counts as having let go (interpreter_lock.h).
  ~ResultText() noexcept(false) {
    constexpr std::size_t kKeptBytes = std::size_t{1} << 20;
    if (text_.capacity() > kKeptBytes) {
      // Handing that much memory back to the system takes a while.
      without_interpreter_lock(std::uncaught_exceptions() == 0, [&] { std::string().swap(text_); });
    }
  }
  ResultText(const ResultText&) = delete;
  ResultText& operator=(const ResultText&) = delete;

  std::string& text() { return text_; }

 private:
  std::string& text_;
};

// The answer to a change already made: the record's text, written by
// write_record (or already in out, for written_answer_or_undo), as a str.
// When memory runs out before the str exists, undo() takes the change back
// and the caller gets MemoryError with the mesh as it was. That is sound
// because the interpreter lock is held from the change until the str exists
// (the text is written and, unless the record is known to be ASCII, measured
// with it held, whatever its size), and every registry and migration call
// that changes anything is made with it held, unless the call found the
// table's lock taken: it then waits, changes and unlocks with the
// interpreter lock let go (interpreter_lock.h). Only then, or for a long
// list read with the interpreter lock released, can another thread come in
// between; a list may see the change, as it may see any change that is soon
// reversed. new_str allocates before it lets the lock go to fill the str,
// and filling cannot fail. The undo is refused if the table changed
// meanwhile (only possible after such a wait); the MemoryError stands
// either way. Only a C++ exception undoes: a thread ended at exit while it
// makes the answer (taking the lock back after filling a large str) leaves
// the change made, whole, as if it had ended just after the call returned.
template <class Undo>
PyObject* written_answer_or_undo(const std::string& out, bool ascii, Undo undo) {
  TextShape shape;
  try {
    shape = ascii ? TextShape{out.size(), CharWidth::kAscii} : shape_of(out);
  } catch (const std::exception&) {
    undo();
    throw;
  }
  PyObject* str = new_str(out, shape);
  if (str == nullptr) undo();
  return str;
}

template <class WriteRecord, class Undo>
PyObject* answer_or_undo(WriteRecord write_record, bool ascii, Undo undo) {
  ResultText result;
  std::string& out = result.text();
  try {
    write_record(out);
  } catch (const std::exception&) {
    undo();
    throw;
  }
  return written_answer_or_undo(out, ascii, undo);
}

// One record, as get_agent and get_migration answer, or None. Most records
// take a few hundred bytes: read_into(room, &size, &ascii) copies one into
// the stack, which costs no thread-local buffer and no resizing of one. A
// longer one is appended to the thread's buffer by append(out, &ascii),
// which finds the record again: it may have changed or gone meanwhile.
constexpr std::size_t kShortRecordBytes = 512;

template <class ReadInto, class Append>
PyObject* record_answer(ReadInto read_into, Append append) {
  bool ascii = false;
  {
    std::array<char, kShortRecordBytes> room;
    std::size_t size = 0;
    const MeshResult<RecordRead> read = read_into(std::span<char>(room), &size, &ascii);
    if (!read) return raise_mesh_error(read.error());
    if (*read == RecordRead::kAbsent) Py_RETURN_NONE;
    if (*read == RecordRead::kCopied) {
      const std::string_view text(room.data(), size);
      return ascii ? new_ascii_str(text) : new_str(text);
    }
  }
  ResultText result;
  const MeshResult<bool> found = append(result.text(), &ascii);
  if (!found) return raise_mesh_error(found.error());
  if (!*found) Py_RETURN_NONE;
  return ascii ? new_ascii_str(result.text()) : new_str(result.text());
}

// A JSON array of records, as list_agents and list_migrations answer,
// appended by append(out, &ascii) under its table's shared lock. That is
// the one lock held while an answer is written: the records' texts are
// ready, so it is copying, not JSON work, and writers that come meanwhile
// wait with the interpreter lock let go, stalling no other thread. A record
// takes a hundred bytes and more, so when the table holds many (table_size,
// read just before) the array is written with the interpreter lock
// released.
template <class Append>
PyObject* record_list(std::uint64_t table_size, Append append) {
  constexpr std::size_t kLargeList = kLargeWorkBytes / 128;
  ResultText result;
  std::string& out = result.text();
  bool ascii = false;
  std::optional<MeshResult<void>> written;
  without_interpreter_lock(table_size >= kLargeList, [&] { written.emplace(append(out, &ascii)); });
  if (!*written) return raise_mesh_error(written->error());
  return ascii ? new_ascii_str(out) : new_str(out);
}

// Agents

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

// State

constexpr auto state_get_method = method("state_get", state_get_doc, param::key("key"));

// Most values are short: read into the stack, which costs no thread-local
// buffer and no resizing of one.
constexpr std::size_t kShortValueBytes = 256;

PyObject* state_get(Mesh& mesh, HashedKey key) {
  TextShape shape;
  {
    std::array<char, kShortValueBytes> room;
    std::size_t size = 0;
    const auto found = mesh.state_store.read(key, room, &size, &shape);
    if (!found) return raise_mesh_error(found.error());
    if (*found == InMemoryStateStore::ValueRead::kAbsent) Py_RETURN_NONE;
    if (*found == InMemoryStateStore::ValueRead::kCopied) {
      return new_str(std::string_view(room.data(), size), shape);
    }
  }
  // Longer: read again into a buffer that fits, and without the interpreter
  // lock when it is long; the value may have changed or gone meanwhile.
  ResultText result;
  auto found = mesh.state_store.read(key, kLargeCopyBytes, &result.text(), &shape);
  if (found && *found == InMemoryStateStore::ValueRead::kLonger) {
    without_interpreter_lock(
        true, [&] { found = mesh.state_store.read(key, SIZE_MAX, &result.text(), &shape); });
  }
  if (!found) return raise_mesh_error(found.error());
  if (*found == InMemoryStateStore::ValueRead::kAbsent) Py_RETURN_NONE;
  return new_str(result.text(), shape);
}

constexpr auto state_set_method =
    method("state_set", state_set_doc, param::key("key"), param::text("value_json"));

PyObject* state_set(Mesh& mesh, HashedKey key, std::string_view value_json) {
  std::optional<json::Error> invalid;
  MeshResult<void> stored;
  {
    ResultText canonical;
    without_interpreter_lock(value_json.size() >= kLargeWorkBytes, [&] {
      TextShape shape;
      invalid = json::canonicalize(value_json, canonical.text(), shape);
      if (!invalid) stored = mesh.state_store.set(key, canonical.text(), shape);
    });
  }
  if (invalid) return raise_json_error(*invalid);
  if (!stored) return raise_mesh_error(stored.error());
  Py_RETURN_NONE;
}

constexpr auto state_delete_method = method("state_delete", state_delete_doc, param::key("key"));

PyObject* state_delete(Mesh& mesh, HashedKey key) {
  auto erased = mesh.state_store.erase(key);
  if (!erased) return raise_mesh_error(erased.error());
  Py_RETURN_NONE;
}

constexpr auto state_exists_method = method("state_exists", state_exists_doc, param::key("key"));

PyObject* state_exists(Mesh& mesh, HashedKey key) {
  auto exists = mesh.state_store.exists(key);
  if (!exists) return raise_mesh_error(exists.error());
  return PyBool_FromLong(*exists ? 1 : 0);
}

constexpr auto state_keys_method = method("state_keys", state_keys_doc, param::text("prefix", ""));

PyObject* state_keys(Mesh& mesh, std::string_view prefix) {
  std::optional<MeshResult<std::vector<std::string>>> keys;
  // Walking a few thousand keys takes some tens of microseconds.
  constexpr std::uint64_t kManyKeys = 4096;
  without_interpreter_lock(mesh.state_store.key_count() >= kManyKeys,
                           [&] { keys.emplace(mesh.state_store.keys_with_prefix(prefix)); });
  if (!*keys) return raise_mesh_error(keys->error());
  const std::vector<std::string>& names = **keys;
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* key = new_str(names[i]);
    if (key == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key);
  }
  return list.release();
}

// Migrations

PyObject* migration_answer(Mesh& mesh, HashedKey variable_name, const MigrationState& state,
                           MigrationUndo& undo) {
  return answer_or_undo([&](std::string& out) { write_migration_state(state, out); },
                        state.record_is_ascii, [&] { mesh.migrations.undo(variable_name, undo); });
}

constexpr auto start_migration_method =
    method("start_migration", start_migration_doc, param::key("variable_name"),
           param::text("source_backend"), param::text("target_backend"));

PyObject* start_migration(Mesh& mesh, HashedKey variable_name, std::string_view source_backend,
                          std::string_view target_backend) {
  MigrationUndo undo;
  auto state = mesh.migrations.start(variable_name, source_backend, target_backend, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(mesh, variable_name, *state, undo);
}

constexpr auto advance_migration_method =
    method("advance_migration", advance_migration_doc, param::key("variable_name"),
           param::u64("discrepancy_count", 0), param::u64("keys_migrated", 0));

PyObject* advance_migration(Mesh& mesh, HashedKey variable_name, std::uint64_t discrepancy_count,
                            std::uint64_t keys_migrated) {
  MigrationUndo undo;
  auto state = mesh.migrations.advance(variable_name, discrepancy_count, keys_migrated, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(mesh, variable_name, *state, undo);
}

constexpr auto rollback_migration_method =
    method("rollback_migration", rollback_migration_doc, param::key("variable_name"));

PyObject* rollback_migration(Mesh& mesh, HashedKey variable_name) {
  MigrationUndo undo;
  auto state = mesh.migrations.rollback(variable_name, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(mesh, variable_name, *state, undo);
}

constexpr auto get_migration_method =
    method("get_migration", get_migration_doc, param::key("variable_name"));

PyObject* get_migration(Mesh& mesh, HashedKey variable_name) {
  return record_answer(
      [&](std::span<char> room, std::size_t* size, bool* ascii) {
        return mesh.migrations.read_record(variable_name, room, size, ascii);
      },
      [&](std::string& out, bool* ascii) {
        return mesh.migrations.append_record(variable_name, out, ascii);
      });
}

constexpr auto list_migrations_method = method("list_migrations", list_migrations_doc);

PyObject* list_migrations(Mesh& mesh) {
  return record_list(mesh.migrations.record_count(), [&](std::string& out, bool* ascii) {
    return mesh.migrations.append_records(out, ascii);
  });
}

// Channels, health, plan

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
// object would be; the counts are read one subsystem at a time.
constexpr auto health_snapshot_method = method("health_snapshot", health_snapshot_doc);

PyObject* health_snapshot(Mesh& mesh) {
  const std::string& app = mesh.plan.app_name;
  const std::uint64_t total = mesh.registry.agent_count();
  const std::uint64_t running = mesh.registry.count_by_status("running");
  const std::uint64_t idle = mesh.registry.count_by_status("idle");
  const std::uint64_t error = mesh.registry.count_by_status("error");
  const std::uint64_t keys = mesh.state_store.key_count();
  const std::uint64_t active = mesh.migrations.count_active();
  const std::uint64_t topics = mesh.channels.topic_count();

  ResultText result;
  std::string& out = result.text();
  out += "{\"agents\":{";
  append_count(out, "error", error);
  out += ',';
  append_count(out, "idle", idle);
  out += ',';
  append_count(out, "running", running);
  out += ',';
  append_count(out, "total", total);
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

PyObject* mesh_repr(PyObject* self) {
  try {
    Mesh* mesh = mesh_of(self);
    if (mesh == nullptr) return nullptr;
    const std::uint64_t agents = mesh->registry.agent_count();
    const std::uint64_t keys = mesh->state_store.key_count();
    const std::uint64_t active = mesh->migrations.count_active();
    std::string out = "VennuMesh(app=";
    out += quote_text(mesh->plan.app_name);
    out += ", agents=";
    json::write_unsigned(agents, out);
    out += ", state_keys=";
    json::write_unsigned(keys, out);
    out += ", migrations=";
    json::write_unsigned(active, out);
    out += ')';
    return to_str(out);
  } catch (const std::exception& error) {
    return raise_cpp_exception(error);
  }
}

PyObject* app_name_get(PyObject* self, void*) {
  try {
    Mesh* mesh = mesh_of(self);
    return mesh == nullptr ? nullptr : to_str(mesh->plan.app_name);
  } catch (const std::exception& error) {
    return raise_cpp_exception(error);
  }
}

// The type

constexpr auto new_method =
    method("__new__", mesh_type_doc, param::text("app_name"), param::text("plan_json", ""));

PyObject* construct(PyTypeObject* type, std::string_view app_name_text,
                    std::string_view plan_text) {
  std::string app_name(app_name_text);

  std::optional<Plan> plan;
  if (plan_text.empty()) {
    plan = default_plan(app_name);
  } else {
    auto parsed = plan_from_json(plan_text);
    if (!parsed) return raise_json_error(parsed.error());
    plan = std::move(*parsed);
  }
  std::string migration_app_name = plan->app_name.empty() ? app_name : plan->app_name;

  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  try {
    check_fields_fault();
    new (&reinterpret_cast<MeshObject*>(object)->mesh)
        Mesh(std::move(*plan), std::move(migration_app_name), mesh_clock());
  } catch (const std::exception&) {
    // Not constructed, so tp_dealloc must not run: undo tp_alloc by hand.
#if VENNU_DEFERRED_MESH
    PyObject_GC_UnTrack(object);
#endif
    type->tp_free(object);
    Py_DECREF(type);
    throw;
  }
#if VENNU_DEFERRED_MESH
  PyUnstable_Object_EnableDeferredRefcount(object);
#endif
  return object;
}

PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    PyObject* slots[new_method.parameters.size()];
    if (!match_tuple_and_dict(Compiled<new_method>::signature, args, kwargs, slots)) return nullptr;
    return call_converted<new_method, construct, PyTypeObject*>(type, slots);
  } catch (const std::exception& error) {
    return raise_cpp_exception(error);
  }
}

void mesh_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
#if VENNU_DEFERRED_MESH
  PyObject_GC_UnTrack(self);
#endif
  reinterpret_cast<MeshObject*>(self)->mesh.~Mesh();
  type->tp_free(self);
  Py_DECREF(type);
}

using FacadeMethods = MethodTable<
    Method<register_agent_method, register_agent>,
    Method<update_agent_status_method, update_agent_status>,
    Method<deregister_agent_method, deregister_agent>, Method<get_agent_method, get_agent>,
    Method<list_agents_method, list_agents>, Method<route_agent_call_method, route_agent_call>,
    Method<state_get_method, state_get>, Method<state_set_method, state_set>,
    Method<state_delete_method, state_delete>, Method<state_exists_method, state_exists>,
    Method<state_keys_method, state_keys>, Method<start_migration_method, start_migration>,
    Method<advance_migration_method, advance_migration>,
    Method<rollback_migration_method, rollback_migration>,
    Method<get_migration_method, get_migration>, Method<list_migrations_method, list_migrations>,
    Method<publish_method, publish>, Method<health_snapshot_method, health_snapshot>,
    Method<plan_json_method, plan_json>>;

// The type's methods, then the test hooks', then the end marker.
auto mesh_methods = [] {
  const auto facade = FacadeMethods::defs();
  std::array<PyMethodDef, facade.size() + kTestHookMethodCount + 1> all{};
  auto end = std::copy(facade.begin(), facade.end(), all.begin());
  std::copy_n(test_hook_methods(), kTestHookMethodCount, end);
  return all;
}();

PyGetSetDef mesh_getset[] = {
    {"app_name", app_name_get, nullptr, app_name_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#if VENNU_DEFERRED_MESH
// The mesh holds no Python object but its type.
int mesh_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}
constexpr unsigned long kMeshGcFlag = Py_TPFLAGS_HAVE_GC;
#else
constexpr unsigned long kMeshGcFlag = 0;
#endif

PyType_Slot mesh_slots[] = {
    {Py_tp_doc, const_cast<char*>(Compiled<new_method>::doc.data())},
    {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mesh_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
    {Py_tp_methods, mesh_methods.data()},
    {Py_tp_getset, mesh_getset},
#if VENNU_DEFERRED_MESH
    {Py_tp_traverse, reinterpret_cast<void*>(mesh_traverse)},
#endif
    {0, nullptr},
};

// A dotless name would leave __module__ unset (and warn on 3.12+); with the
// "builtins." prefix the interpreter sets __module__ itself, and tp_name is
// then pointed past the prefix so that messages name the class as the bare
// "VennuMesh", as for any builtin.
constexpr char kQualifiedTypeName[] = "builtins.VennuMesh";
constexpr std::size_t kModulePrefixLength = sizeof("builtins.") - 1;

PyType_Spec mesh_spec = {
    kQualifiedTypeName,
    static_cast<int>(sizeof(MeshObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | kMeshGcFlag,
    mesh_slots,
};

PyTypeObject* create_mesh_type() {
  if (!FacadeMethods::intern() || !intern_parameter_names(Compiled<new_method>::signature)) {
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&mesh_spec));
  if (type == nullptr) return nullptr;
  type->tp_name += kModulePrefixLength;
  return type;
}

// The module

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vennu_mesh", module_doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;
std::int64_t owner_interpreter = -1;

bool add_exported(PyObject* module, const char* name, PyObject* value) {
  OwnedRef key = OwnedRef::steal(PyUnicode_InternFromString(name));
  if (!key || PyObject_SetAttr(module, key.get(), value) < 0) return false;
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  if (all == nullptr) {
    OwnedRef created = OwnedRef::steal(PyList_New(0));
    if (!created || PyObject_SetAttrString(module, "__all__", created.get()) < 0) return false;
    all = created.get();  // the module now keeps it alive
  }
  return PyList_Append(all, key.get()) == 0;
}

// Only the main interpreter may own the module: a sub-interpreter that
// imports first is refused without claiming it, so it cannot lock the main
// interpreter out for the rest of the process.
PyObject* init_module() {
  PyInterpreterState* state = PyInterpreterState_Get();
  const std::int64_t interpreter = PyInterpreterState_GetID(state);
  if (interpreter < 0) return nullptr;
  if (state != PyInterpreterState_Main() ||
      (owner_interpreter != -1 && owner_interpreter != interpreter)) {
    PyErr_SetString(PyExc_ImportError,
                    "vennu_mesh can be imported only once per process, in the main interpreter");
    return nullptr;
  }
  if (cached_module != nullptr) return Py_NewRef(cached_module);

  if (!create_panic_exception() || !install_lock_hooks()) return nullptr;
  if (mesh_type == nullptr) {
    mesh_type = create_mesh_type();
    if (mesh_type == nullptr) return nullptr;
  }
  OwnedRef module = OwnedRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  OwnedRef version = OwnedRef::steal(PyUnicode_FromString(kVersion));
  if (!version ||
      !add_exported(module.get(), "VennuMesh", reinterpret_cast<PyObject*>(mesh_type)) ||
      !add_exported(module.get(), "__version__", version.get())) {
    return nullptr;
  }
  owner_interpreter = interpreter;
  cached_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace vennu::python

PyMODINIT_FUNC PyInit_vennu_mesh() {
  try {
    return vennu::python::init_module();
  } catch (const std::exception& error) {
    return vennu::python::raise_cpp_exception(error);
  }
}
