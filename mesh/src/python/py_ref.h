// Owned and borrowed references to Python objects.
//
// OwnedRef holds one strong reference and releases it when it goes, so that
// no error path can leak one. BorrowedRef documents a reference someone else
// keeps alive. Every function of the facade takes and returns these instead
// of bare PyObject* wherever ownership is not obvious.

#pragma once

#include <Python.h>

#include <utility>

#include "interpreter_lock.h"

namespace vennu::python {

class BorrowedRef {
 public:
  BorrowedRef() = default;
  explicit BorrowedRef(PyObject* object) : object_(object) {}
  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (nullptr allowed, e.g. from a failed call).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  static OwnedRef from_borrowed(BorrowedRef ref) { return OwnedRef(Py_XNewRef(ref.get())); }

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
  BorrowedRef borrow() const { return BorrowedRef(object_); }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller, e.g. as a method's result.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vennu::python
