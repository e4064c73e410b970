// str results made at their final size and filled straight from UTF-8 text,
// without the interpreter decoding the text a second time.
//
// Thread safety: called with the interpreter lock held; a large text is
// written into the new str with the lock released (see interpreter_lock.h).

#pragma once

#include <Python.h>

#include <string_view>

#include "base/text_shape.h"

namespace vennu::python {

// A new str of valid UTF-8 text whose shape is known; nullptr with
// MemoryError set when it cannot be made.
PyObject* new_str(std::string_view utf8, const TextShape& shape);
// The same, measuring the text first.
PyObject* new_str(std::string_view utf8);
// The same for text known to be ASCII.
inline PyObject* new_ascii_str(std::string_view ascii) {
  return new_str(ascii, TextShape{ascii.size(), CharWidth::kAscii});
}

}  // namespace vennu::python
