// Owned references to Python objects.
//
// OwnedRef holds one strong reference and releases it when it goes, so that
// no error path can leak one; the facade holds every new reference it may
// have to drop on an error path in one (but for mesh_new's half-made object,
// which must not reach tp_dealloc). A bare PyObject* in the facade is
// borrowed (arguments, a dictionary's items, objects a live owner keeps),
// or a new reference handed straight to the interpreter as a result.

#pragma once

#include <Python.h>

#include <utility>

#include "interpreter_lock.h"

namespace vennu::python {

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (nullptr allowed, e.g. from a failed call).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  // A thread being ended at exit no longer holds the interpreter lock:
  // the reference is left to the dying interpreter.
  ~OwnedRef() {
    if (object_ != nullptr && !interpreter_lock_let_go()) Py_DECREF(object_);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller, e.g. as a method's result.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vennu::python
