// Letting other Python threads run while the calling thread does large work
// that touches no Python object.
//
// The rule for the whole facade: a call whose work grows with the size of
// its text (reading or canonicalizing a JSON argument, copying a value out
// of the store, writing or filling a result) releases the interpreter lock
// around that work once the text reaches kLargeWorkBytes. Before it releases
// the lock, the call takes everything it needs from its arguments as plain
// views (their UTF-8 text stays alive with the caller's references); while
// released, it touches no Python object except a new str that no other
// thread can see yet; and it creates every other result object, or raises,
// after taking the lock back. Smaller calls keep the lock: releasing and
// taking it back costs more than they do, and the lock may then go to
// another thread for a whole switch interval.
//
// Thread safety: an InterpreterLockReleased belongs to the thread that made
// it, which must hold the interpreter lock when it does.

#pragma once

#include <Python.h>

#include <cstddef>

namespace vennu::python {

// Below this the work of a call takes some tens of microseconds at most.
inline constexpr std::size_t kLargeWorkBytes = std::size_t{64} << 10;

// Releases the interpreter lock for its lifetime when asked to, and takes it
// back when it goes, on every path: exceptions leaving the scope reach the
// entry wrappers with the lock held.
class InterpreterLockReleased {
 public:
  explicit InterpreterLockReleased(bool release)
      : saved_(release ? PyEval_SaveThread() : nullptr) {}
  ~InterpreterLockReleased() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace vennu::python
