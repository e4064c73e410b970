#include "arguments.h"

#include <string>

#include "py_ref.h"

namespace vennu::python {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own wording.
std::string parameter_list(std::span<const char* const> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) list += ',';
      list += i + 1 == names.size() ? " and " : " ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

bool raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t total = signature.parameters.size();
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required != total) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 signature.callable, signature.required, total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 signature.callable, total, given, verb);
  }
  return false;
}

bool raise_missing(const Signature& signature, PyObject* const* slots) {
  const char* missing[8];
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required && count < std::size(missing); ++i) {
    if (slots[i] == nullptr) missing[count++] = signature.parameters[i].name;
  }
  const std::string list = parameter_list(std::span<const char* const>(missing, count));
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
               signature.callable, count, count == 1 ? "" : "s", list.c_str());
  return false;
}

Py_ssize_t find_parameter(const Signature& signature, PyObject* keyword) {
  const auto& parameters = signature.parameters;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (signature.interned[i] == keyword) return static_cast<Py_ssize_t>(i);
  }
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    const int equal = PyUnicode_CompareWithASCIIString(keyword, parameters[i].name);
    if (equal == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

// The interpreter's own refusal of a keyword name that is not a str.
bool raise_keywords_must_be_strings() {
  PyErr_SetString(PyExc_TypeError, "keywords must be strings");
  return false;
}

bool place_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                   PyObject** slots) {
  if (!PyUnicode_Check(keyword)) return raise_keywords_must_be_strings();
  const Py_ssize_t index = find_parameter(signature, keyword);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.callable,
                 keyword);
    return false;
  }
  if (slots[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.callable,
                 signature.parameters[static_cast<std::size_t>(index)].name);
    return false;
  }
  slots[index] = value;
  return true;
}

bool check_required(const Signature& signature, PyObject* const* slots) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) return raise_missing(signature, slots);
  }
  return true;
}

// Re-raises a pending TypeError as "argument 'p': <message>"; other errors
// pass unchanged.
void prefix_type_error(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  OwnedRef raised = OwnedRef::steal(PyErr_GetRaisedException());
  OwnedRef text = OwnedRef::steal(PyObject_Str(raised.get()));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, text.get());
}

}  // namespace

bool intern_parameter_names(const Signature& signature) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (signature.interned[i] != nullptr) continue;
    signature.interned[i] = PyUnicode_InternFromString(signature.parameters[i].name);
    if (signature.interned[i] == nullptr) return false;
  }
  return true;
}

bool match_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** slots) {
  const std::size_t total = signature.parameters.size();
  if (static_cast<std::size_t>(nargs) > total) return raise_too_many_positional(signature, nargs);
  for (std::size_t i = 0; i < total; ++i) {
    slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) {
        return false;
      }
    }
  }
  if (static_cast<std::size_t>(nargs) >= signature.required) return true;
  return check_required(signature, slots);
}

bool match_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                          PyObject** slots) {
  const std::size_t total = signature.parameters.size();
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > total) return raise_too_many_positional(signature, nargs);
  for (std::size_t i = 0; i < total; ++i) {
    slots[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    // A dictionary can hold any key; the interpreter refuses a call with a
    // non-str one before looking at any name, and so does this.
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!PyUnicode_Check(keyword)) return raise_keywords_must_be_strings();
    }
    position = 0;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!place_keyword(signature, keyword, value, slots)) return false;
    }
  }
  return check_required(signature, slots);
}

void raise_cannot_convert(PyObject* object, const char* target) {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

bool convert_any_text(PyObject* object, const char* parameter, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    prefix_type_error(parameter);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_optional_text(PyObject* object, const char* parameter,
                           std::optional<std::string_view>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!convert_text(object, parameter, text)) return false;
  out = text;
  return true;
}

namespace {

// The int that an integer argument stands for: itself, or what __index__
// gives (held in index); nullptr with the prefixed TypeError otherwise.
PyObject* integer_of(PyObject* object, const char* parameter, OwnedRef& index) {
  if (PyLong_Check(object)) return object;
  index = OwnedRef::steal(PyNumber_Index(object));
  if (!index) prefix_type_error(parameter);
  return index.get();
}

}  // namespace

bool convert_u32(PyObject* object, const char* parameter, std::uint32_t& out) {
  OwnedRef index;
  object = integer_of(object, parameter, index);
  if (object == nullptr) return false;
  // Read as 64 bits on every platform (a C long is 32 bits on Windows), so
  // the accepted range and the messages do not depend on the size of long.
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow != 0) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    return false;
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool convert_u64(PyObject* object, const char* parameter, std::uint64_t& out) {
  OwnedRef index;
  object = integer_of(object, parameter, index);
  if (object == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

}  // namespace vennu::python
