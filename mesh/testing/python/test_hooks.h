// Hooks for the test suite, compiled only into test builds of the module
// (CMake option MESH_TEST_HOOKS), never into an installed one.
//
// They are static methods of the type named "_test_*", which the tests look
// for to know whether they can run: a clock sent before 1970, a fault armed
// inside a subsystem's locked section, the Nth allocation failing, a mesh
// whose construction runs out of memory, a C++ exception thrown through an
// entry point, whether sections skip their locks. Without the hooks, the
// functions here are the plain behaviour and no methods are added. The
// flags they set are atomic: threads of a free-threaded build read them
// with no interpreter lock between.

#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "base/timestamp.h"

namespace vennu::python {

#ifdef MESH_TEST_HOOKS

inline constexpr std::size_t kTestHookMethodCount = 7;

// The hooks' entries for the type's method table.
const PyMethodDef* test_hook_methods();

// The clock of every new mesh.
std::shared_ptr<const Clock> mesh_clock();

// Throws std::bad_alloc once, when a test asked for the next construction
// to fail after the object was allocated.
void check_fields_fault();

#else

inline constexpr std::size_t kTestHookMethodCount = 0;
inline const PyMethodDef* test_hook_methods() { return nullptr; }
inline std::shared_ptr<const Clock> mesh_clock() { return system_clock(); }
inline void check_fields_fault() {}

#endif

}  // namespace vennu::python
