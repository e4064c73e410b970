// The entry points made from each method's table and body, and the parts
// that fill the type's method table.
//
// The methods are in parts by subsystem, one file each, and each file makes
// the entry points of its own methods: the templates below are instantiated
// where the bodies are, so that every body inlines into its entry point, as
// the calls that run most need. What a part gives the type is its entries,
// through the one function declared for it here.

#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <span>

#include "arguments.h"
#include "errors.h"
#include "mesh_object.h"

namespace vennu::python {

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

// A part's methods in the table's order. fill interns their parameter names
// and writes their entries into out, or returns false with an exception set.
template <class... Methods>
struct MethodTable {
  static bool fill(std::span<PyMethodDef, sizeof...(Methods)> out) {
    if (!(Methods::intern() && ...)) return false;
    std::size_t next = 0;
    ((out[next++] = Methods::def()), ...);
    return true;
  }
};

// The parts, in the order of the type's table, each with the number of its
// methods; module initialization fills the table from them, under its lock.
inline constexpr std::size_t kAgentMethodCount = 6;
bool agent_methods(std::span<PyMethodDef, kAgentMethodCount> out);  // methods_agents.cpp

inline constexpr std::size_t kStateMethodCount = 5;
bool state_methods(std::span<PyMethodDef, kStateMethodCount> out);  // methods_state.cpp

inline constexpr std::size_t kMigrationMethodCount = 5;
bool migration_methods(
    std::span<PyMethodDef, kMigrationMethodCount> out);  // methods_migrations.cpp

inline constexpr std::size_t kChannelHealthMethodCount = 3;
bool channel_health_methods(
    std::span<PyMethodDef, kChannelHealthMethodCount> out);  // methods_channels_health.cpp

}  // namespace vennu::python
