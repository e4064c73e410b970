#include "errors.h"

#include <cstring>
#include <exception>
#include <new>

#include "py_ref.h"

namespace vennu::python {
namespace {

PyObject* panic_exception = nullptr;

PyObject* raise_panic(const char* what) {
  if (panic_exception == nullptr) {
    PyErr_SetString(PyExc_SystemError, what);
    return nullptr;
  }
  OwnedRef message = OwnedRef::steal(
      PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace"));
  if (message) PyErr_SetObject(panic_exception, message.get());
  return nullptr;
}

}  // namespace

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
    case ErrorKind::kInvalidArgument:
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
// able to allocate a type at that moment; set once, under the module's
// initialization lock, before any call can read it.
bool create_panic_exception() {
  if (panic_exception != nullptr) return true;
  panic_exception = PyErr_NewExceptionWithDoc(
      "vennu_mesh.PanicException",
      "An internal fault of the mesh. Derived from BaseException so that\n"
      "handlers for Exception do not swallow it.",
      PyExc_BaseException, nullptr);
  return panic_exception != nullptr;
}

// The one place C++ exceptions become Python ones. Running out of memory
// is an ordinary failure (every operation leaves its subsystem as it was),
// so it is the interpreter's own MemoryError.
PyObject* raise_cpp_exception(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return PyErr_NoMemory();
  return raise_panic(error.what());
}

}  // namespace vennu::python
