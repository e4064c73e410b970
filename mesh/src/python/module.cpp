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
//
// The facade is in parts by concern. method_table.h makes the entry points
// from each method's table and body; answers.h holds the ways an answer is
// made; the methods are in one file per subsystem (methods_agents.cpp,
// methods_state.cpp, methods_migrations.cpp, and methods_channels_health.cpp
// for publish, the health snapshot and the plan), each making the entry
// points of its own methods so that every body inlines into its entry
// point. This file holds the type, with its constructor, and the module's
// initialization.

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "arguments.h"
#include "base/error.h"
#include "base/quoted_text.h"
#include "docstrings.h"
#include "errors.h"
#include "interpreter_lock.h"
#include "json/json.h"
#include "mesh_object.h"
#include "method_table.h"
#include "py_ref.h"
#include "subsystems/mesh.h"
#include "testing/python/test_hooks.h"

namespace vennu::python {
namespace {

constexpr const char* kVersion = MESH_VERSION;  // from pyproject.toml, through CMake

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

// The type

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
    // The keywords are matched and read from a private copy of their
    // dictionary, which keeps the values alive: a dictionary the caller
    // passed in may be changed by another thread while the mesh is made,
    // with no interpreter lock to keep it out on a free-threaded build.
    OwnedRef keywords;
    if (kwargs != nullptr) {
      keywords = OwnedRef::steal(PyDict_Copy(kwargs));
      if (!keywords) return nullptr;
    }
    PyObject* slots[new_method.parameters.size()];
    if (!match_tuple_and_dict(Compiled<new_method>::signature, args, keywords.get(), slots)) {
      return nullptr;
    }
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

// The type's methods, part by part in the table's order, then the test
// hooks', then the end marker; filled when the type is made.
std::array<PyMethodDef, kAgentMethodCount + kStateMethodCount + kMigrationMethodCount +
                            kChannelHealthMethodCount + kTestHookMethodCount + 1>
    mesh_methods{};

bool fill_mesh_methods() {
  PyMethodDef* next = mesh_methods.data();
  const auto part = [&]<std::size_t N>(bool (*fill)(std::span<PyMethodDef, N>)) {
    const bool filled = fill(std::span<PyMethodDef, N>(next, N));
    next += N;
    return filled;
  };
  if (!part(agent_methods) || !part(state_methods) || !part(migration_methods) ||
      !part(channel_health_methods)) {
    return false;
  }
  std::copy_n(test_hook_methods(), kTestHookMethodCount, next);
  return true;
}

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

PyGetSetDef mesh_getset[] = {
    {"app_name", app_name_get, nullptr, app_name_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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
  if (!fill_mesh_methods() || !intern_parameter_names(Compiled<new_method>::signature)) {
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

bool add_exported(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  OwnedRef key = OwnedRef::steal(PyUnicode_InternFromString(name));
  return key && PyObject_SetAttr(module, key.get(), value) == 0 &&
         PyList_Append(all, key.get()) == 0;
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
#ifdef Py_GIL_DISABLED
  // Every call holds its own references and locks the subsystems itself,
  // and whatever is shared between threads is made here once and then
  // only read, or is atomic.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  OwnedRef all = OwnedRef::steal(PyList_New(0));
  OwnedRef version = OwnedRef::steal(PyUnicode_FromString(kVersion));
  if (!all || !version || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0 ||
      !add_exported(module.get(), all.get(), "VennuMesh", reinterpret_cast<PyObject*>(mesh_type)) ||
      !add_exported(module.get(), all.get(), "__version__", version.get())) {
    return nullptr;
  }
  owner_interpreter = interpreter;
  cached_module = Py_NewRef(module.get());
  return module.release();
}

// The state above (and the type's, the exception's, the interned parameter
// names' and the lock hooks') is made once here and only read afterwards.
// The import system loads the module under its lock for the module's name,
// but a caller may also create the module from its spec in several threads
// at once, with no such lock, and without an interpreter lock on a
// free-threaded build; so initialization holds a lock of its own. A thread
// that finds it taken waits with the interpreter lock let go, so that the
// thread holding it can take the interpreter lock back.
PyObject* init_module_once() {
  static std::mutex initializing;
  std::unique_lock hold(initializing, std::try_to_lock);
  if (!hold.owns_lock()) without_interpreter_lock(true, [&] { hold.lock(); });
  return init_module();
}

}  // namespace
}  // namespace vennu::python

PyMODINIT_FUNC PyInit_vennu_mesh() {
  try {
    return vennu::python::init_module_once();
  } catch (const std::exception& error) {
    return vennu::python::raise_cpp_exception(error);
  }
}
