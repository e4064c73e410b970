// Letting other Python threads run while the calling thread does large work
// that touches no Python object.
//
// The rule for the whole facade: a call whose work grows with the size of
// its text releases the interpreter lock around that work once the text
// reaches kLargeWorkBytes for reading, checking or canonicalizing JSON and
// for writing records, or kLargeCopyBytes for copying a value out of the
// store, measuring or filling a str and freeing a large buffer. Before it
// releases the lock, the call takes everything it needs from its arguments
// as plain views (their UTF-8 text stays alive with the caller's
// references); while released, it touches no Python object except a new str
// that no other thread can see yet; and it creates every other result
// object, or raises, after taking the lock back. Smaller calls keep the
// lock.
//
// Thread safety: an InterpreterLockReleased belongs to the thread that made
// it, which must hold the interpreter lock when it does.

#pragma once

#include <Python.h>

#include <cstddef>

namespace vennu::python {

// Both thresholds put the work at about 100 microseconds on a current
// machine: JSON is read and written at 250 to 300 MB/s, and bytes are
// copied, measured or widened at several GB/s. Below them the call keeps
// the lock: releasing costs little in itself, but a busy thread may then
// hold the lock for its whole switch interval (5 ms by default) before the
// call can finish.
inline constexpr std::size_t kLargeWorkBytes = std::size_t{32} << 10;
inline constexpr std::size_t kLargeCopyBytes = std::size_t{1} << 20;

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
