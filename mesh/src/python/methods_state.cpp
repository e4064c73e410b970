// The methods on the state store: reading, setting, deleting and testing a
// key, and listing keys by prefix; the store does the work
// (subsystems/state.h). This file makes their entry points too, so that
// each body inlines into its entry point (method_table.h).

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace

bool state_methods(std::span<PyMethodDef, kStateMethodCount> out) {
  return MethodTable<Method<state_get_method, state_get>, Method<state_set_method, state_set>,
                     Method<state_delete_method, state_delete>,
                     Method<state_exists_method, state_exists>,
                     Method<state_keys_method, state_keys>>::fill(out);
}

}  // namespace vennu::python
