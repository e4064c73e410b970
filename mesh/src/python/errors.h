// The one translation of failures into Python exceptions.
//
// A MeshError becomes the exception of its kind (KeyError, ValueError or
// RuntimeError) with its message; a JSON error is a serialization error.
// C++ exceptions are translated in catch blocks only, by
// raise_current_exception: std::bad_alloc is MemoryError, anything else a
// broken invariant, PanicException. All of it runs with the GIL held and
// returns nullptr with the exception set, for `return raise_...(...)`.

#pragma once

#include <Python.h>

#include <string_view>

#include "error.h"
#include "json.h"

namespace vennu::python {

// A new str of UTF-8 text (nullptr with an exception set on failure).
PyObject* to_str(std::string_view text);

PyObject* raise_mesh_error(const MeshError& error);
PyObject* raise_json_error(const json::Error& error);

// Made once, at module initialisation, so that reporting a fault never
// depends on being able to allocate a type at that moment.
bool create_panic_exception();

// Called from a catch block only; rethrows the forced unwind that ends a
// thread at exit.
PyObject* raise_current_exception();

}  // namespace vennu::python
