#include "str_result.h"

#include "interpreter_lock.h"

namespace vennu::python {

PyObject* new_str(std::string_view utf8, const TextShape& shape) {
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.code_points),
                                static_cast<Py_UCS4>(shape.max_char()));
  if (str == nullptr || shape.code_points == 0) return str;
  void* data = PyUnicode_DATA(str);
  without_interpreter_lock(utf8.size() >= kLargeCopyBytes, [&] { widen_utf8(utf8, shape, data); });
  return str;
}

PyObject* new_str(std::string_view utf8) {
  if (utf8.size() < kLargeCopyBytes) return new_str(utf8, shape_of(utf8));
  TextShape shape;
  without_interpreter_lock(true, [&] { shape = shape_of(utf8); });
  return new_str(utf8, shape);
}

}  // namespace vennu::python
