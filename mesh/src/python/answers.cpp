// The thread's buffer for result texts and its release, out of line
// (answers.h).

#include "answers.h"

#include <exception>
#include <string>

#include "interpreter_lock.h"

namespace vennu::python {

std::string& thread_buffer() {
  thread_local std::string buffer;
  return buffer;
}

void ResultText::let_go() {
  // Handing that much memory back to the system takes a while.
  without_interpreter_lock(std::uncaught_exceptions() == 0, [&] { std::string().swap(text_); });
}

}  // namespace vennu::python
