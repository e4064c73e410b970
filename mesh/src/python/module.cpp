// The vennu_mesh extension module: the VennuMesh type and its methods.
//
// This is the only code that talks to the interpreter. Each entry point
// matches and converts its arguments, makes its subsystem calls with no lock
// held across Python work, and turns a MeshError into the exception of its
// kind. Memory running out becomes MemoryError; any other C++ exception that
// escapes (a broken invariant) becomes PanicException instead of unwinding
// into the interpreter.
//
// The interpreter lock is released around large work only, by the rule in
// interpreter_lock.h: every argument is read as a UTF-8 view first, and every
// result object but a not-yet-visible new str is made after the lock is back.
// Results are written as UTF-8 and made into a str at its final size
// (str_result.h), with no second decoding pass.

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "allocation_hook.h"
#include "arguments.h"
#include "docstrings.h"
#include "error.h"
#include "fault_injection.h"
#include "interpreter_lock.h"
#include "json.h"
#include "mesh.h"
#include "py_ref.h"
#include "quoted_text.h"
#include "str_result.h"

namespace vennu::python {
namespace {

constexpr const char* kVersion = "0.3.0";
// Conventional host name of the loopback interface.
constexpr std::string_view kRouteNode = "localhost";

struct MeshObject {
  PyObject_HEAD
  Mesh mesh;
};

PyTypeObject* mesh_type = nullptr;
PyObject* panic_exception = nullptr;

// Results and errors

PyObject* to_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* raise_mesh_error(const MeshError& error) {
  PyObject* type = PyExc_RuntimeError;
  switch (error.kind()) {
    case ErrorKind::kAgentNotFound:
    case ErrorKind::kMethodNotFound:
      type = PyExc_KeyError;
      break;
    case ErrorKind::kInvalidPlan:
    case ErrorKind::kMigrationError:
    case ErrorKind::kSerializationError:
      type = PyExc_ValueError;
      break;
    case ErrorKind::kAgentAlreadyRegistered:
    case ErrorKind::kStateError:
    case ErrorKind::kChannelError:
      type = PyExc_RuntimeError;
      break;
  }
  OwnedRef message = OwnedRef::steal(to_str(error.message()));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

PyObject* raise_json_error(const json::Error& error) {
  return raise_mesh_error(MeshError::serialization_error(error.text()));
}

// Made at initialisation, so that reporting a fault never depends on being
// able to allocate a type at that moment.
bool create_panic_exception() {
  if (panic_exception != nullptr) return true;
  panic_exception = PyErr_NewExceptionWithDoc(
      "vennu_mesh.PanicException",
      "An internal fault of the mesh. Derived from BaseException so that\n"
      "handlers for Exception do not swallow it.",
      PyExc_BaseException, nullptr);
  return panic_exception != nullptr;
}

PyObject* raise_panic(const char* what) {
  if (panic_exception == nullptr) {
    PyErr_SetString(PyExc_SystemError, what);
    return nullptr;
  }
  OwnedRef message =
      OwnedRef::steal(PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace"));
  if (message) PyErr_SetObject(panic_exception, message.get());
  return nullptr;
}

// Called from a catch block: the one place C++ exceptions become Python ones.
// Running out of memory is an ordinary failure (every operation leaves its
// subsystem as it was), so it is the interpreter's own MemoryError. The
// forced unwind that ends a thread at exit is not an error: it goes on.
PyObject* raise_current_exception() {
  try {
    throw;
  }
#if VENNU_HAS_FORCED_UNWIND
  catch (abi::__forced_unwind&) {
    throw;
  }
#endif
  catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_panic(error.what());
  } catch (...) {
    return raise_panic("unknown C++ exception");
  }
}

// The guard behind the interpreter's own descriptor check.
Mesh* mesh_of(PyObject* self) {
  if (mesh_type != nullptr && PyObject_TypeCheck(self, mesh_type)) {
    return &reinterpret_cast<MeshObject*>(self)->mesh;
  }
  raise_cannot_convert(self, "VennuMesh");
  return nullptr;
}

// Signatures

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Every entry point: no C++ exception crosses into the interpreter, but the
// forced unwind that ends a thread at exit passes through (none is noexcept).
template <FastMethod Method>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return Method(self, args, nargs, kwnames);
  } catch (...) {
    return raise_current_exception();
  }
}

using NoArgsMethod = PyObject* (*)(Mesh&);

template <NoArgsMethod Method>
PyObject* noargs_entry(PyObject* self, PyObject*) {
  try {
    Mesh* mesh = mesh_of(self);
    return mesh == nullptr ? nullptr : Method(*mesh);
  } catch (...) {
    return raise_current_exception();
  }
}

Parameter new_parameters[] = {{"app_name"}, {"plan_json"}};
Parameter register_agent_parameters[] = {
    {"agent_type"}, {"agent_id"}, {"instance"}, {"metadata_json"}};
Parameter agent_id_parameters[] = {{"agent_id"}};
Parameter update_agent_status_parameters[] = {{"agent_id"}, {"status"}};
Parameter list_agents_parameters[] = {{"agent_type"}, {"status"}};
Parameter route_agent_call_parameters[] = {
    {"agent_type"}, {"agent_id"}, {"method"}, {"args_json"}};
Parameter key_parameters[] = {{"key"}};
Parameter state_set_parameters[] = {{"key"}, {"value_json"}};
Parameter prefix_parameters[] = {{"prefix"}};
Parameter start_migration_parameters[] = {
    {"variable_name"}, {"source_backend"}, {"target_backend"}};
Parameter advance_migration_parameters[] = {
    {"variable_name"}, {"discrepancy_count"}, {"keys_migrated"}};
Parameter variable_name_parameters[] = {{"variable_name"}};
Parameter publish_parameters[] = {{"topic"}, {"payload_json"}};

const Signature new_signature{"VennuMesh.__new__()", new_parameters, 1};
const Signature register_agent_signature{"VennuMesh.register_agent()",
                                         register_agent_parameters, 2};
const Signature update_agent_status_signature{"VennuMesh.update_agent_status()",
                                              update_agent_status_parameters, 2};
const Signature deregister_agent_signature{"VennuMesh.deregister_agent()", agent_id_parameters,
                                           1};
const Signature get_agent_signature{"VennuMesh.get_agent()", agent_id_parameters, 1};
const Signature list_agents_signature{"VennuMesh.list_agents()", list_agents_parameters, 0};
const Signature route_agent_call_signature{"VennuMesh.route_agent_call()",
                                           route_agent_call_parameters, 3};
const Signature state_get_signature{"VennuMesh.state_get()", key_parameters, 1};
const Signature state_set_signature{"VennuMesh.state_set()", state_set_parameters, 2};
const Signature state_delete_signature{"VennuMesh.state_delete()", key_parameters, 1};
const Signature state_exists_signature{"VennuMesh.state_exists()", key_parameters, 1};
const Signature state_keys_signature{"VennuMesh.state_keys()", prefix_parameters, 0};
const Signature start_migration_signature{"VennuMesh.start_migration()",
                                          start_migration_parameters, 3};
const Signature advance_migration_signature{"VennuMesh.advance_migration()",
                                            advance_migration_parameters, 1};
const Signature rollback_migration_signature{"VennuMesh.rollback_migration()",
                                             variable_name_parameters, 1};
const Signature get_migration_signature{"VennuMesh.get_migration()", variable_name_parameters,
                                        1};
const Signature publish_signature{"VennuMesh.publish()", publish_parameters, 2};

const Signature* const all_signatures[] = {
    &new_signature,          &register_agent_signature,  &update_agent_status_signature,
    &get_agent_signature,    &list_agents_signature,     &route_agent_call_signature,
    &state_get_signature,    &state_set_signature,       &state_keys_signature,
    &start_migration_signature, &advance_migration_signature, &rollback_migration_signature,
    &publish_signature,
};

// Matches, then checks self, as every method does before converting.
template <std::size_t N>
Mesh* bind(Arguments<N>& arguments, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames) {
  if (!arguments.match(args, nargs, kwnames)) return nullptr;
  return mesh_of(self);
}

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
  // exit. While an exception unwinds, the buffer is freed in place instead.
  ~ResultText() noexcept(false) {
    constexpr std::size_t kKeptBytes = std::size_t{1} << 20;
    if (text_.capacity() > kKeptBytes) {
      // Handing that much memory back to the system takes a while.
      without_interpreter_lock(std::uncaught_exceptions() == 0,
                               [&] { std::string().swap(text_); });
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
// either way.
template <class Undo>
PyObject* written_answer_or_undo(const std::string& out, bool ascii, Undo undo) {
  TextShape shape;
  try {
    shape = ascii ? TextShape{out.size(), CharWidth::kAscii} : shape_of(out);
  } catch (...) {
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
  } catch (...) {
    undo();
    throw;
  }
  return written_answer_or_undo(out, ascii, undo);
}

// A JSON array of records, as list_agents and list_migrations answer,
// appended by append(out, &ascii) under its table's shared lock. A record
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

PyObject* register_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  Arguments<4> arguments(register_agent_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view agent_type;
  std::string_view agent_id;
  std::uint32_t instance = 0;
  std::optional<std::string_view> metadata_text;
  if (mesh == nullptr || !arguments.text(0, agent_type) || !arguments.text(1, agent_id) ||
      !arguments.u32(2, instance) || !arguments.optional_text(3, metadata_text)) {
    return nullptr;
  }
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
  auto registered = mesh->registry.register_agent_into(
      agent_type, agent_id, instance, std::move(metadata_json), result.text(), &ascii, &change);
  if (!registered) return raise_mesh_error(registered.error());
  return written_answer_or_undo(result.text(), ascii,
                                [&] { mesh->registry.undo_register(agent_id, change); });
}

PyObject* update_agent_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  Arguments<2> arguments(update_agent_status_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view agent_id;
  std::string_view status_name;
  if (mesh == nullptr || !arguments.text(0, agent_id) || !arguments.text(1, status_name)) {
    return nullptr;
  }
  const std::optional<AgentStatus> status = parse_status(status_name);
  if (!status) {
    const std::string message = unknown_status_message(status_name);
    OwnedRef text = OwnedRef::steal(to_str(message));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
  }
  auto updated = mesh->registry.update_status(agent_id, *status);
  if (!updated) return raise_mesh_error(updated.error());
  Py_RETURN_NONE;
}

PyObject* deregister_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  Arguments<1> arguments(deregister_agent_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view agent_id;
  if (mesh == nullptr || !arguments.text(0, agent_id)) return nullptr;
  auto removed = mesh->registry.deregister(agent_id);
  if (!removed) return raise_mesh_error(removed.error());
  Py_RETURN_NONE;
}

PyObject* get_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<1> arguments(get_agent_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view agent_id;
  if (mesh == nullptr || !arguments.text(0, agent_id)) return nullptr;
  ResultText result;
  bool ascii = false;
  auto found = mesh->registry.append_record(agent_id, result.text(), &ascii);
  if (!found) return raise_mesh_error(found.error());
  if (!*found) Py_RETURN_NONE;
  return ascii ? new_ascii_str(result.text()) : new_str(result.text());
}

PyObject* list_agents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  Arguments<2> arguments(list_agents_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::optional<std::string_view> agent_type;
  std::optional<std::string_view> status;
  if (mesh == nullptr || !arguments.optional_text(0, agent_type) ||
      !arguments.optional_text(1, status)) {
    return nullptr;
  }
  return record_list(mesh->registry.agent_count(), [&](std::string& out, bool* ascii) {
    return mesh->registry.append_records(agent_type, status, out, ascii);
  });
}

PyObject* route_agent_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  Arguments<4> arguments(route_agent_call_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view agent_type;
  std::string_view agent_id;
  std::string_view method;
  std::string_view args_json = "{}";
  if (mesh == nullptr || !arguments.text(0, agent_type) || !arguments.text(1, agent_id) ||
      !arguments.text(2, method) || !arguments.text(3, args_json)) {
    return nullptr;
  }
  // The arguments are only checked: the caller dispatches with its own copy.
  if (arguments.given(3)) {
    std::optional<json::Error> invalid;
    without_interpreter_lock(args_json.size() >= kLargeWorkBytes,
                             [&] { invalid = json::validate(args_json); });
    if (invalid) return raise_json_error(*invalid);
  }
  // The answer does not depend on the change, so it is made whole before
  // the agent is looked up: running out of memory then leaves the agent's
  // status as it was, and making a large one, which lets the interpreter
  // lock go, cannot come between the check of the status and its update.
  OwnedRef descriptor;
  {
    // Keys in byte order: agent_id, agent_type, method, node, status.
    ResultText result;
    std::string& out = result.text();
    out += "{\"agent_id\":";
    json::write_string(agent_id, out);
    out += ",\"agent_type\":";
    json::write_string(agent_type, out);
    out += ",\"method\":";
    json::write_string(method, out);
    out += ",\"node\":\"";
    out += kRouteNode;  // plain letters: nothing to escape
    out += "\",\"status\":\"routed\"}";
    descriptor = OwnedRef::steal(new_str(out));
  }
  if (!descriptor) return nullptr;
  auto status = mesh->registry.status_of(agent_id);
  if (!status) return raise_mesh_error(status.error());
  if (!*status || **status == AgentStatus::kStopped || **status == AgentStatus::kError) {
    return raise_mesh_error(
        MeshError::agent_not_found(std::string(agent_type), std::string(agent_id)));
  }
  // The agent may have gone since the lookup; routing succeeds all the same.
  (void)mesh->registry.update_status(agent_id, AgentStatus::kRunning);
  return descriptor.release();
}

// State

PyObject* state_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<1> arguments(state_get_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view key;
  if (mesh == nullptr || !arguments.text(0, key)) return nullptr;
  ResultText result;
  TextShape shape;
  auto found = mesh->state_store.read(key, kLargeCopyBytes, &result.text(), &shape);
  if (found && *found == InMemoryStateStore::ValueRead::kLonger) {
    without_interpreter_lock(
        true, [&] { found = mesh->state_store.read(key, SIZE_MAX, &result.text(), &shape); });
  }
  if (!found) return raise_mesh_error(found.error());
  if (*found == InMemoryStateStore::ValueRead::kAbsent) Py_RETURN_NONE;
  return new_str(result.text(), shape);
}

PyObject* state_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<2> arguments(state_set_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view key;
  std::string_view value_json;
  if (mesh == nullptr || !arguments.text(0, key) || !arguments.text(1, value_json)) {
    return nullptr;
  }
  std::optional<json::Error> invalid;
  MeshResult<void> stored;
  {
    ResultText canonical;
    without_interpreter_lock(value_json.size() >= kLargeWorkBytes, [&] {
      TextShape shape;
      invalid = json::canonicalize(value_json, canonical.text(), shape);
      if (!invalid) stored = mesh->state_store.set(key, canonical.text(), shape);
    });
  }
  if (invalid) return raise_json_error(*invalid);
  if (!stored) return raise_mesh_error(stored.error());
  Py_RETURN_NONE;
}

PyObject* state_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  Arguments<1> arguments(state_delete_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view key;
  if (mesh == nullptr || !arguments.text(0, key)) return nullptr;
  auto erased = mesh->state_store.erase(key);
  if (!erased) return raise_mesh_error(erased.error());
  Py_RETURN_NONE;
}

PyObject* state_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  Arguments<1> arguments(state_exists_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view key;
  if (mesh == nullptr || !arguments.text(0, key)) return nullptr;
  auto exists = mesh->state_store.exists(key);
  if (!exists) return raise_mesh_error(exists.error());
  return PyBool_FromLong(*exists ? 1 : 0);
}

PyObject* state_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<1> arguments(state_keys_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view prefix;
  if (mesh == nullptr || !arguments.text(0, prefix)) return nullptr;
  std::optional<MeshResult<std::vector<std::string>>> keys;
  // Walking a few thousand keys takes some tens of microseconds.
  constexpr std::uint64_t kManyKeys = 4096;
  without_interpreter_lock(mesh->state_store.key_count() >= kManyKeys,
                           [&] { keys.emplace(mesh->state_store.keys_with_prefix(prefix)); });
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

PyObject* migration_answer(Mesh& mesh, std::string_view variable_name, const MigrationState& state,
                           MigrationUndo& undo) {
  return answer_or_undo([&](std::string& out) { write_migration_state(state, out); },
                        state.record_is_ascii, [&] { mesh.migrations.undo(variable_name, undo); });
}

PyObject* start_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  Arguments<3> arguments(start_migration_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view variable_name;
  std::string_view source_backend;
  std::string_view target_backend;
  if (mesh == nullptr || !arguments.text(0, variable_name) ||
      !arguments.text(1, source_backend) || !arguments.text(2, target_backend)) {
    return nullptr;
  }
  MigrationUndo undo;
  auto state = mesh->migrations.start(variable_name, source_backend, target_backend, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(*mesh, variable_name, *state, undo);
}

PyObject* advance_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  Arguments<3> arguments(advance_migration_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view variable_name;
  std::uint64_t discrepancy_count = 0;
  std::uint64_t keys_migrated = 0;
  if (mesh == nullptr || !arguments.text(0, variable_name) ||
      !arguments.u64(1, discrepancy_count) || !arguments.u64(2, keys_migrated)) {
    return nullptr;
  }
  MigrationUndo undo;
  auto state = mesh->migrations.advance(variable_name, discrepancy_count, keys_migrated, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(*mesh, variable_name, *state, undo);
}

PyObject* rollback_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  Arguments<1> arguments(rollback_migration_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view variable_name;
  if (mesh == nullptr || !arguments.text(0, variable_name)) return nullptr;
  MigrationUndo undo;
  auto state = mesh->migrations.rollback(variable_name, &undo);
  if (!state) return raise_mesh_error(state.error());
  return migration_answer(*mesh, variable_name, *state, undo);
}

PyObject* get_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  Arguments<1> arguments(get_migration_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view variable_name;
  if (mesh == nullptr || !arguments.text(0, variable_name)) return nullptr;
  ResultText result;
  bool ascii = false;
  auto found = mesh->migrations.append_record(variable_name, result.text(), &ascii);
  if (!found) return raise_mesh_error(found.error());
  if (!*found) Py_RETURN_NONE;
  return ascii ? new_ascii_str(result.text()) : new_str(result.text());
}

PyObject* list_migrations(Mesh& mesh) {
  return record_list(mesh.migrations.record_count(), [&](std::string& out, bool* ascii) {
    return mesh.migrations.append_records(out, ascii);
  });
}

// Channels, health, plan

PyObject* publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<2> arguments(publish_signature);
  Mesh* mesh = bind(arguments, self, args, nargs, kwnames);
  std::string_view topic;
  std::string_view payload_json;
  if (mesh == nullptr || !arguments.text(0, topic) || !arguments.text(1, payload_json)) {
    return nullptr;
  }
  std::optional<json::Error> invalid;
  std::optional<MeshResult<std::uint64_t>> receivers;
  without_interpreter_lock(payload_json.size() >= kLargeWorkBytes, [&] {
    invalid = json::validate(payload_json);
    if (!invalid) receivers.emplace(mesh->channels.publish(topic, payload_json));
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
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* app_name_get(PyObject* self, void*) noexcept {
  try {
    Mesh* mesh = mesh_of(self);
    return mesh == nullptr ? nullptr : to_str(mesh->plan.app_name);
  } catch (...) {
    return raise_current_exception();
  }
}

// Test hooks: compiled only into test builds, never into an installed module.

#ifdef MESH_TEST_HOOKS
// A clock that tests can send before 1970 from Python.
class HookClock final : public Clock {
 public:
  Instant now() const override {
    Instant instant = system_clock()->now();
    if (before_epoch) instant.seconds = -1 - instant.seconds % 1000;
    return instant;
  }
  static inline bool before_epoch = false;
};

std::shared_ptr<const Clock> mesh_clock() {
  static const std::shared_ptr<const Clock> clock = std::make_shared<HookClock>();
  return clock;
}

// Building a mesh's fields allocates nothing today; this stands in for the
// day it does and runs out of memory after the object was allocated.
bool fail_next_fields = false;

void check_fields_fault() {
  if (std::exchange(fail_next_fields, false)) throw std::bad_alloc();
}

PyObject* test_fail_next_construction(PyObject*, PyObject*) noexcept {
  fail_next_fields = true;
  Py_RETURN_NONE;
}

PyObject* test_set_clock_before_epoch(PyObject*, PyObject* flag) noexcept {
  HookClock::before_epoch = PyObject_IsTrue(flag) == 1;
  Py_RETURN_NONE;
}

// Arms a fault inside the locked section of "state" (set and delete) or
// "channel" (publish).
PyObject* test_arm_fault(PyObject*, PyObject* site) noexcept {
  if (PyUnicode_Check(site) && PyUnicode_CompareWithASCIIString(site, "state") == 0) {
    arm_fault(FaultSite::kStateWrite);
  } else if (PyUnicode_Check(site) && PyUnicode_CompareWithASCIIString(site, "channel") == 0) {
    arm_fault(FaultSite::kChannelPublish);
  } else {
    PyErr_SetString(PyExc_ValueError, "unknown fault site");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Makes the Nth C++ allocation from now fail (0 disarms).
PyObject* test_fail_allocation(PyObject*, PyObject* count) noexcept {
  const long long n = PyLong_AsLongLong(count);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  arm_allocation_failure(n);
  Py_RETURN_NONE;
}

// Whether the armed allocation failure happened; disarms.
PyObject* test_allocation_failed(PyObject*, PyObject*) noexcept {
  return PyBool_FromLong(take_allocation_failure() ? 1 : 0);
}

PyObject* test_throw(PyObject*, PyObject*) noexcept {
  try {
    throw std::runtime_error("injected fault");
  } catch (...) {
    return raise_current_exception();
  }
}
#else
std::shared_ptr<const Clock> mesh_clock() { return system_clock(); }
void check_fields_fault() {}
#endif

// The type

PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    Arguments<2> arguments(new_signature);
    if (!arguments.match(args, kwargs)) return nullptr;
    std::string_view app_name_text;
    std::string_view plan_text;
    if (!arguments.text(0, app_name_text) || !arguments.text(1, plan_text)) return nullptr;
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
    } catch (...) {
      // Not constructed, so tp_dealloc must not run: undo tp_alloc by hand.
      type->tp_free(object);
      Py_DECREF(type);
      throw;
    }
    return object;
  } catch (...) {
    return raise_current_exception();
  }
}

void mesh_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<MeshObject*>(self)->mesh.~Mesh();
  type->tp_free(self);
  Py_DECREF(type);
}

template <FastMethod Method>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Method>));
}

constexpr int kFastFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef mesh_methods[] = {
    {"register_agent", fastcall<register_agent>(), kFastFlags, register_agent_doc},
    {"update_agent_status", fastcall<update_agent_status>(), kFastFlags, update_agent_status_doc},
    {"deregister_agent", fastcall<deregister_agent>(), kFastFlags, deregister_agent_doc},
    {"get_agent", fastcall<get_agent>(), kFastFlags, get_agent_doc},
    {"list_agents", fastcall<list_agents>(), kFastFlags, list_agents_doc},
    {"route_agent_call", fastcall<route_agent_call>(), kFastFlags, route_agent_call_doc},
    {"state_get", fastcall<state_get>(), kFastFlags, state_get_doc},
    {"state_set", fastcall<state_set>(), kFastFlags, state_set_doc},
    {"state_delete", fastcall<state_delete>(), kFastFlags, state_delete_doc},
    {"state_exists", fastcall<state_exists>(), kFastFlags, state_exists_doc},
    {"state_keys", fastcall<state_keys>(), kFastFlags, state_keys_doc},
    {"start_migration", fastcall<start_migration>(), kFastFlags, start_migration_doc},
    {"advance_migration", fastcall<advance_migration>(), kFastFlags, advance_migration_doc},
    {"rollback_migration", fastcall<rollback_migration>(), kFastFlags, rollback_migration_doc},
    {"get_migration", fastcall<get_migration>(), kFastFlags, get_migration_doc},
    {"list_migrations", noargs_entry<list_migrations>, METH_NOARGS, list_migrations_doc},
    {"publish", fastcall<publish>(), kFastFlags, publish_doc},
    {"health_snapshot", noargs_entry<health_snapshot>, METH_NOARGS, health_snapshot_doc},
    {"plan_json", noargs_entry<plan_json>, METH_NOARGS, plan_json_doc},
#ifdef MESH_TEST_HOOKS
    {"_test_set_clock_before_epoch", test_set_clock_before_epoch, METH_O | METH_STATIC, nullptr},
    {"_test_throw", test_throw, METH_NOARGS | METH_STATIC, nullptr},
    {"_test_arm_fault", test_arm_fault, METH_O | METH_STATIC, nullptr},
    {"_test_fail_allocation", test_fail_allocation, METH_O | METH_STATIC, nullptr},
    {"_test_allocation_failed", test_allocation_failed, METH_NOARGS | METH_STATIC, nullptr},
    {"_test_fail_next_construction", test_fail_next_construction, METH_NOARGS | METH_STATIC,
     nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef mesh_getset[] = {
    {"app_name", app_name_get, nullptr, app_name_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot mesh_slots[] = {
    {Py_tp_doc, const_cast<char*>(mesh_type_doc)},
    {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mesh_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
    {Py_tp_methods, mesh_methods},
    {Py_tp_getset, mesh_getset},
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    mesh_slots,
};

PyTypeObject* create_mesh_type() {
  for (const Signature* signature : all_signatures) {
    if (!intern_parameter_names(*signature)) return nullptr;
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
  if (!version || !add_exported(module.get(), "VennuMesh", reinterpret_cast<PyObject*>(mesh_type)) ||
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
  } catch (...) {
    return vennu::python::raise_current_exception();
  }
}
