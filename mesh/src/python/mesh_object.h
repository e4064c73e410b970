// The object behind a VennuMesh: the interpreter's header, then the mesh.
// module.cpp makes the type and constructs the mesh in place; every entry
// point finds it through mesh_of.

#pragma once

#include <Python.h>

#include "arguments.h"
#include "subsystems/mesh.h"

namespace vennu::python {

// clang-format off
struct MeshObject {
  PyObject_HEAD
  Mesh mesh;
};
// clang-format on

// Made once, by module initialization (init_module_once). Inline, so that
// every part reads it as directly as a variable of its own.
inline PyTypeObject* mesh_type = nullptr;

// The guard behind the interpreter's own descriptor check.
inline Mesh* mesh_of(PyObject* self) {
  if (mesh_type != nullptr && PyObject_TypeCheck(self, mesh_type)) {
    return &reinterpret_cast<MeshObject*>(self)->mesh;
  }
  raise_cannot_convert(self, "VennuMesh");
  return nullptr;
}

}  // namespace vennu::python
