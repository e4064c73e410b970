// Letting other Python threads run while the calling thread does large work
// that touches no Python object, or waits for a subsystem's lock.
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
// A call that finds a subsystem's lock taken lets the interpreter lock go
// too, through the wait hook installed at import (sync/wait_hook.h): it waits,
// runs its section and unlocks with the interpreter lock released, then
// takes it back. So no thread ever holds a subsystem lock while it waits
// for the interpreter lock, which is what lets the at-fork handler (taking
// every subsystem lock with the interpreter lock held) wait for the
// sections in progress, and what lets a thread end at exit holding nothing.
//
// Exit: during finalization, taking the interpreter lock back ends a daemon
// thread, by a forced unwind on some versions and by parking it on others.
// Either way the thread still counts as having let go
// (interpreter_lock_let_go), so the frames unwound touch no Python object.
// The forced unwind (glibc's pthread_exit) is no C++ exception: it must
// pass through every frame up to the interpreter untouched, and a C++
// runtime cannot always rethrow it once caught (libc++abi turns the rethrow
// into std::terminate). Hence the rules for every frame that may take the
// lock back, which is nearly every method body, since a wait for a
// subsystem's lock lets it go too:
// - no frame on the way is noexcept, nor has a catch (...): handlers
//   catch std::exception (the only kind the code throws), so the unwind
//   runs their frames' cleanups and nothing else;
// - the lock is taken back outside every handler (a C++ exception is held
//   as an exception_ptr meanwhile) and never from a destructor run by an
//   unwinding, where a forced unwind that starts ends the process;
// - a change made before the thread is ended stands whole, answer or not:
//   an undo runs for a C++ exception only.
// The cleanups resume the unwind through _Unwind_Resume, so the module must
// use the unwinder of the C library's threads (libgcc_s) when its toolchain
// brings another one along.
//
// Free-threaded builds have no interpreter lock: there "holding" it means
// that the thread's state is attached, and letting it go detaches it. That
// still matters: a garbage collection or a fork stops every attached
// thread first, so a thread working or waiting for a long time detached
// holds neither up. Calls then run in parallel, so the subsystems always
// take their locks (install_lock_hooks).
//
// Thread safety: the lock is let go and taken back by the thread that
// holds it; the flag is the thread's own.

#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>

#include "sync/guarded.h"

namespace vennu::python {

// Both thresholds put the work at about 100 microseconds on a current
// machine: JSON is read and written at 250 to 300 MB/s, and bytes are
// copied, measured or widened at several GB/s. Below them the call keeps
// the lock: releasing costs little in itself, but a busy thread may then
// hold the lock for its whole switch interval (5 ms by default) before the
// call can finish.
inline constexpr std::size_t kLargeWorkBytes = std::size_t{32} << 10;
inline constexpr std::size_t kLargeCopyBytes = std::size_t{1} << 20;

// Whether the calling thread let go of the interpreter lock here and has
// not taken it back (true too in a thread being ended at exit).
inline bool& interpreter_lock_let_go() {
  thread_local bool let_go = false;
  return let_go;
}

// Lets go of the interpreter lock unless the thread already did; nullptr
// when it did.
inline PyThreadState* let_go_of_interpreter_lock() {
  bool& let_go = interpreter_lock_let_go();
  if (let_go) return nullptr;
    // The count serves only a build with the interpreter lock (see
    // install_lock_hooks); on a free-threaded one it would be a line that
    // every waiting thread writes, for nothing.
#if !defined(Py_GIL_DISABLED)
  OuterLockCount::count_out();
#endif
  PyThreadState* saved = PyEval_SaveThread();
  let_go = true;
  return saved;
}

// May not return (see Exit above).
inline void take_interpreter_lock_back(PyThreadState* saved) {
  if (saved == nullptr) return;
  PyEval_RestoreThread(saved);
  interpreter_lock_let_go() = false;
#if !defined(Py_GIL_DISABLED)
  OuterLockCount::count_in();
#endif
}

// Runs fn with the interpreter lock released when release is true. A
// std::exception from fn reaches the caller with the lock held again,
// rethrown after the lock is back (see Exit above).
template <class Fn>
void without_interpreter_lock(bool release, Fn&& fn) {
  if (!release) {
    fn();
    return;
  }
  PyThreadState* saved = let_go_of_interpreter_lock();
  std::exception_ptr failure;
  try {
    fn();
  } catch (const std::exception&) {
    failure = std::current_exception();
  }
  take_interpreter_lock_back(saved);
  if (failure) std::rethrow_exception(failure);
}

// Installs, once per process, the wait hook (sync/wait_hook.h) that lets the
// interpreter lock go while a call waits for a subsystem's lock and, where
// the system can fork, at-fork handlers that hold every subsystem lock
// across a fork (see sync/shared_spin_mutex.h). Where the interpreter has its lock, it
// also lets sections skip the subsystems' locks while no thread has let
// the interpreter lock go (OuterLockCount): every call into a subsystem
// holds it, or let it go through let_go_of_interpreter_lock, which counts.
// false, with MemoryError set, when the handlers cannot be registered.
bool install_lock_hooks();

}  // namespace vennu::python
