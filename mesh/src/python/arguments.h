// Matching Python call arguments to parameters, and converting them.
//
// A Signature lists a callable's parameters (all positional-or-keyword, the
// required ones first). Matching fills one borrowed slot per parameter,
// nullptr where the argument was not given, and raises the interpreter-style
// TypeError for too many positional arguments, an unknown keyword, a
// parameter given twice or a missing required one. The common call, all
// positional, allocates nothing and touches no dictionary; keyword names are
// compared by identity first, since the interpreter interns them.
//
// Every function here returns false (or an empty optional) with a Python
// exception set on failure. All of it runs with the GIL held.

#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vennu::python {

struct Parameter {
  const char* name;
  PyObject* interned = nullptr;  // filled by intern_parameter_names
};

struct Signature {
  const char* callable;  // as named in messages, e.g. "VennuMesh.get_agent()"
  std::span<Parameter> parameters;
  std::size_t required;
};

// Interns the names once, at module initialisation.
bool intern_parameter_names(const Signature& signature);

// Vectorcall convention: args[0..nargs) positional, then one value per name
// in kwnames.
bool match_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** slots);

// tp_new convention: a tuple and an optional dict.
bool match_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                          PyObject** slots);

// str: its UTF-8 text, valid as long as the object lives. Anything else is
// "argument 'p': 'T' object cannot be converted to 'PyString'".
bool convert_text(PyObject* object, const char* parameter, std::string_view& out);

// str or None; None (or a missing argument) gives an empty optional.
bool convert_optional_text(PyObject* object, const char* parameter,
                           std::optional<std::string_view>& out);

// An integer from 0 to 4294967295; non-int objects go through __index__.
// Outside the 64-bit range: OverflowError "Python int too large to convert
// to C long"; otherwise outside 0..4294967295: OverflowError "out of range
// integral type conversion attempted". The same on every platform.
bool convert_u32(PyObject* object, const char* parameter, std::uint32_t& out);

// An unsigned 64-bit integer; non-int objects go through __index__.
bool convert_u64(PyObject* object, const char* parameter, std::uint64_t& out);

// Raises TypeError "'T' object cannot be converted to 'target'".
void raise_cannot_convert(PyObject* object, const char* target);

// The matched arguments of one call: N borrowed slots and the conversions,
// each naming its parameter from the signature. A conversion of an argument
// that was not given leaves the default in `out` untouched.
template <std::size_t N>
class Arguments {
 public:
  explicit Arguments(const Signature& signature) : signature_(signature) {}

  bool match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return match_vectorcall(signature_, args, nargs, kwnames, slots_);
  }
  bool match(PyObject* args, PyObject* kwargs) {
    return match_tuple_and_dict(signature_, args, kwargs, slots_);
  }

  bool given(std::size_t i) const { return slots_[i] != nullptr; }

  bool text(std::size_t i, std::string_view& out) const {
    return !given(i) || convert_text(slots_[i], name(i), out);
  }
  bool optional_text(std::size_t i, std::optional<std::string_view>& out) const {
    return convert_optional_text(slots_[i], name(i), out);
  }
  bool u32(std::size_t i, std::uint32_t& out) const {
    return !given(i) || convert_u32(slots_[i], name(i), out);
  }
  bool u64(std::size_t i, std::uint64_t& out) const {
    return !given(i) || convert_u64(slots_[i], name(i), out);
  }

 private:
  const char* name(std::size_t i) const { return signature_.parameters[i].name; }

  const Signature& signature_;
  PyObject* slots_[N];
};

}  // namespace vennu::python
