// The one translation of failures into Python exceptions.
//
// A MeshError becomes the exception of its kind (KeyError, ValueError or
// RuntimeError) with its message; a JSON error is a serialization error.
// A C++ exception, caught as std::exception (the code throws no other
// kind, and a catch-all would stop the forced unwind that ends a thread at
// exit, see interpreter_lock.h), is translated by raise_cpp_exception:
// std::bad_alloc is MemoryError, anything else a broken invariant,
// PanicException. All of it runs with the GIL held and returns nullptr with
// the exception set, for `return raise_...(...)`.

#pragma once

#include <Python.h>

#include <exception>
#include <string_view>

#include "base/error.h"
#include "json/json.h"

namespace vennu::python {

// A new str of UTF-8 text (nullptr with an exception set on failure).
PyObject* to_str(std::string_view text);

PyObject* raise_mesh_error(const MeshError& error);
PyObject* raise_json_error(const json::Error& error);

// Made once, at module initialisation, so that reporting a fault never
// depends on being able to allocate a type at that moment.
bool create_panic_exception();

// The exception a handler caught, as the Python exception of its kind.
PyObject* raise_cpp_exception(const std::exception& error);

}  // namespace vennu::python
