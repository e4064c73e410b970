#include "interpreter_lock.h"

#include "sync/guarded.h"

#if !defined(_WIN32) && __has_include(<pthread.h>)
#include <pthread.h>
#define VENNU_HAS_FORK 1
#else
#define VENNU_HAS_FORK 0
#endif

namespace vennu::python {
namespace {

const LockWaitHook wait_hook{
    [] { return static_cast<void*>(let_go_of_interpreter_lock()); },
    [](void* released) { take_interpreter_lock_back(static_cast<PyThreadState*>(released)); },
};

#if VENNU_HAS_FORK
// pthread_atfork runs these in the forking thread, whatever made it fork,
// and after the interpreter's own before-fork steps for os.fork.
void before_fork() { hold_all_locks_for_fork(); }
void after_fork_in_parent() { release_all_locks_after_fork(); }
void after_fork_in_child() { reset_all_locks_in_fork_child(); }
#endif

}  // namespace

bool install_lock_hooks() {
  // Only module initialization calls this, under its own lock (module.cpp).
  static bool installed = false;
  if (installed) return true;
#if VENNU_HAS_FORK
  if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
    PyErr_NoMemory();
    return false;
  }
#endif
  set_lock_wait_hook(&wait_hook);
#if !defined(Py_GIL_DISABLED)
  // A free-threaded build runs calls in parallel with no interpreter lock
  // to serialize them, so there the subsystems always lock.
  OuterLockCount::enable();
#endif
  installed = true;
  return true;
}

}  // namespace vennu::python
