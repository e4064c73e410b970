// Each method of the facade declared once, and the matching and converting
// of its call arguments.
//
// A MethodSpec is a method's table: name, parameters (kind, default) and
// docstring. From it come, at compile time, the docstring with its text
// signature, the name messages use and the Signature that matching reads;
// the body gets the converted values as typed arguments, checked against
// the table by the compiler (call_converted). The PyMethodDef is built from
// the same spec where the entry points are made (method_table.h).
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

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "subsystems/state.h"

namespace vennu::python {

// What a parameter accepts, and so the C++ type its method's body gets.
enum class Kind : unsigned char {
  kText,          // str, as std::string_view
  kKey,           // str, as a HashedKey: its text and the interpreter's hash of it
  kOptionalText,  // str or None, as std::optional<std::string_view>
  kU32,           // int from 0 to 4294967295, as std::uint32_t
  kU64,           // int from 0 to 2**64-1, as std::uint64_t
};

// One parameter of a method's table. One without a default is required; the
// default is both what the body gets when the argument is not given and what
// the text signature shows.
struct Parameter {
  const char* name;
  Kind kind;
  bool required = true;
  std::string_view text_default{};   // kText
  std::uint64_t number_default = 0;  // kU32, kU64
};

namespace param {
constexpr Parameter text(const char* name) { return {name, Kind::kText}; }
constexpr Parameter text(const char* name, std::string_view fallback) {
  return {name, Kind::kText, false, fallback};
}
constexpr Parameter key(const char* name) { return {name, Kind::kKey}; }
constexpr Parameter optional_text(const char* name) { return {name, Kind::kOptionalText, false}; }
constexpr Parameter u32(const char* name, std::uint32_t fallback) {
  return {name, Kind::kU32, false, {}, fallback};
}
constexpr Parameter u64(const char* name, std::uint64_t fallback) {
  return {name, Kind::kU64, false, {}, fallback};
}
}  // namespace param

// What matching needs of a method: its parameters and where their interned
// names go.
struct Signature {
  const char* callable;  // as named in messages, e.g. "VennuMesh.get_agent()"
  std::span<const Parameter> parameters;
  std::size_t required;
  PyObject** interned;  // one per parameter, filled by intern_parameter_names
};

// Interns the names once, at module initialisation (under its lock, before
// the type exists): calls in every thread only read them afterwards.
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
bool convert_any_text(PyObject* object, const char* parameter, std::string_view& out);
// The same, with the common case inline: a compact ASCII str is its own
// UTF-8 text, so keys and names are read without a call.
inline bool convert_text(PyObject* object, const char* parameter, std::string_view& out) {
  if (PyUnicode_Check(object) && PyUnicode_IS_COMPACT_ASCII(object)) {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    return true;
  }
  return convert_any_text(object, parameter, out);
}

// str: its text and the hash a str of that text has. That is str's own
// hash, whatever a subclass defines, so that equal texts hash alike.
inline bool convert_key(PyObject* object, const char* parameter, HashedKey& out) {
  if (!convert_text(object, parameter, out.text)) return false;
  const Py_hash_t hash = PyUnicode_Type.tp_hash(object);
  if (hash == -1) return false;
  out.hash = static_cast<std::uint64_t>(hash);
  return true;
}

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

// The C++ type a parameter of each kind arrives in.
template <Kind K>
struct ValueOfKind;
template <>
struct ValueOfKind<Kind::kText> {
  using type = std::string_view;
};
template <>
struct ValueOfKind<Kind::kKey> {
  using type = HashedKey;
};
template <>
struct ValueOfKind<Kind::kOptionalText> {
  using type = std::optional<std::string_view>;
};
template <>
struct ValueOfKind<Kind::kU32> {
  using type = std::uint32_t;
};
template <>
struct ValueOfKind<Kind::kU64> {
  using type = std::uint64_t;
};
template <Kind K>
using ValueOf = typename ValueOfKind<K>::type;

// A method declared once: its name ("__new__" for the type's constructor),
// its parameters in order, the required ones first, and its docstring after
// the text signature, which is written from the parameters.
template <std::size_t N>
struct MethodSpec {
  const char* name;
  const char* doc;
  std::array<Parameter, N> parameters;
};

template <class... Parameters>
constexpr MethodSpec<sizeof...(Parameters)> method(const char* name, const char* doc,
                                                   Parameters... parameters) {
  return {name, doc, {parameters...}};
}

namespace detail {

constexpr std::string_view kTypeName = "VennuMesh";

// Counts the text it is given, or writes it too when it has somewhere to.
struct TextBuilder {
  char* out = nullptr;
  std::size_t size = 0;

  constexpr void add(std::string_view text) {
    for (const char c : text) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
  }
  constexpr void add_number(std::uint64_t value) {
    char digits[20] = {};
    std::size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count != 0) add(std::string_view(&digits[--count], 1));
  }
};

// Throwing stops the compilation of a table that breaks a rule.
template <std::size_t N>
constexpr std::size_t required_count(const MethodSpec<N>& spec) {
  std::size_t required = 0;
  for (const Parameter& parameter : spec.parameters) {
    if (!parameter.required) break;
    ++required;
  }
  for (std::size_t i = required; i < N; ++i) {
    if (spec.parameters[i].required) throw "a required parameter follows an optional one";
  }
  return required;
}

// "name($self, a, b=0, c=None)\n--\n\n" then the docstring; the
// constructor's as "VennuMesh(a, b=\"\")". The interpreter turns the first
// part into __text_signature__.
template <std::size_t N>
constexpr void write_doc(const MethodSpec<N>& spec, TextBuilder& out) {
  const bool constructor = std::string_view(spec.name) == "__new__";
  out.add(constructor ? kTypeName : std::string_view(spec.name));
  out.add(constructor ? "(" : "($self");
  for (std::size_t i = 0; i < N; ++i) {
    const Parameter& parameter = spec.parameters[i];
    if (i != 0 || !constructor) out.add(", ");
    out.add(parameter.name);
    if (parameter.required) continue;
    switch (parameter.kind) {
      case Kind::kText:
        for (const char c : parameter.text_default) {
          if (c == '"' || c == '\\') throw "a text default the signature cannot show";
        }
        out.add("=\"");
        out.add(parameter.text_default);
        out.add("\"");
        break;
      case Kind::kKey:
        throw "a key cannot have a default";
      case Kind::kOptionalText:
        out.add("=None");
        break;
      case Kind::kU32:
        if (parameter.number_default > 0xFFFFFFFFu) throw "a default out of range";
        out.add("=");
        out.add_number(parameter.number_default);
        break;
      case Kind::kU64:
        out.add("=");
        out.add_number(parameter.number_default);
        break;
    }
  }
  out.add(")\n--\n\n");
  out.add(spec.doc);
}

// "VennuMesh.name()", as messages name the method.
template <std::size_t N>
constexpr void write_callable(const MethodSpec<N>& spec, TextBuilder& out) {
  out.add(kTypeName);
  out.add(".");
  out.add(spec.name);
  out.add("()");
}

template <auto Write, const auto& Spec>
constexpr auto built_text() {
  constexpr std::size_t size = [] {
    TextBuilder counter;
    Write(Spec, counter);
    return counter.size;
  }();
  std::array<char, size + 1> text{};
  TextBuilder writer{text.data()};
  Write(Spec, writer);
  return text;
}

}  // namespace detail

// Everything made from one table at compile time: the docstring with its
// text signature, the name in messages, the matching signature.
template <const auto& Spec>
struct Compiled {
  static constexpr std::size_t kCount = Spec.parameters.size();
  static constexpr auto doc = detail::built_text<
      [](const auto& spec, detail::TextBuilder& out) { detail::write_doc(spec, out); }, Spec>();
  static constexpr auto callable =
      detail::built_text<[](const auto& spec, detail::TextBuilder& out) {
        detail::write_callable(spec, out);
      },
                         Spec>();
  static inline PyObject* interned[kCount == 0 ? 1 : kCount] = {};
  static constexpr Signature signature{callable.data(), Spec.parameters,
                                       detail::required_count(Spec), interned};
};

// The function type a body of Spec must have: First (the mesh, or the type
// for the constructor), then one value per parameter of exactly its kind's
// type, so that a body and its table cannot disagree.
template <const auto& Spec, class First,
          class Indices = std::make_index_sequence<Spec.parameters.size()>>
struct BodyOf;
template <const auto& Spec, class First, std::size_t... I>
struct BodyOf<Spec, First, std::index_sequence<I...>> {
  using type = PyObject* (*)(First, ValueOf<Spec.parameters[I].kind>...);
};

// Converts the matched slot of parameter I into out; a slot left empty
// leaves the default there.
template <const auto& Spec, std::size_t I, class T>
bool convert_argument(PyObject* object, T& out) {
  constexpr const Parameter& parameter = Spec.parameters[I];
  if constexpr (parameter.kind == Kind::kOptionalText) {
    return convert_optional_text(object, parameter.name, out);
  } else {
    if (object == nullptr) return true;
    if constexpr (parameter.kind == Kind::kText) return convert_text(object, parameter.name, out);
    if constexpr (parameter.kind == Kind::kKey) return convert_key(object, parameter.name, out);
    if constexpr (parameter.kind == Kind::kU32) return convert_u32(object, parameter.name, out);
    if constexpr (parameter.kind == Kind::kU64) return convert_u64(object, parameter.name, out);
  }
}

template <const auto& Spec, std::size_t I>
constexpr ValueOf<Spec.parameters[I].kind> default_argument() {
  constexpr const Parameter& parameter = Spec.parameters[I];
  if constexpr (parameter.kind == Kind::kText) return parameter.text_default;
  if constexpr (parameter.kind == Kind::kKey) return HashedKey{};
  if constexpr (parameter.kind == Kind::kOptionalText) return std::nullopt;
  if constexpr (parameter.kind == Kind::kU32) {
    return static_cast<std::uint32_t>(parameter.number_default);
  }
  if constexpr (parameter.kind == Kind::kU64) return parameter.number_default;
}

// Converts the matched slots in order, stopping at the first failure, and
// calls the body with the values.
template <const auto& Spec, auto Body, class First, std::size_t... I>
PyObject* call_converted(First first, PyObject* const* slots, std::index_sequence<I...>) {
  static_assert(std::is_same_v<decltype(Body), typename BodyOf<Spec, First>::type>,
                "the body's parameters differ from its table's");
  std::tuple<ValueOf<Spec.parameters[I].kind>...> values{default_argument<Spec, I>()...};
  if (!(convert_argument<Spec, I>(slots[I], std::get<I>(values)) && ...)) return nullptr;
  return Body(first, std::get<I>(values)...);
}

template <const auto& Spec, auto Body, class First>
PyObject* call_converted(First first, PyObject* const* slots) {
  return call_converted<Spec, Body, First>(first, slots,
                                           std::make_index_sequence<Spec.parameters.size()>{});
}

}  // namespace vennu::python
