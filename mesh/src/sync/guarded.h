// Guarded<T>: data that can only be reached under its lock, with the
// poisoned mark that a lock keeps once an exclusive section was abandoned.
//
// write() runs a function under the exclusive lock. A function that runs
// out of memory must leave the data exactly as it found it (allocate first,
// then commit with steps that cannot throw), so std::bad_alloc propagates
// and the guard stays usable. Any other exception escaping it means a broken
// invariant and possibly half-changed data, so the guard is poisoned for good
// and the exception propagates. read() runs under the shared lock and never
// poisons. Both return false, without running the function, once poisoned.
//
// Waiting: a section whose lock is free runs at once. One whose lock is
// taken first calls the process's LockWaitHook, if one is set, to let go of
// whatever outer lock the calling thread holds (the embedding's interpreter
// lock); it then waits, runs, and releases the guard's lock, and only after
// that does the hook take the outer lock back. So no thread waits for the
// outer lock while it holds a guard's lock, and a thread that waits here
// holds up nobody. write(fn, OuterLock::kKeep) waits holding the outer lock
// instead, for a step that must follow the caller's last one with nothing
// in between (the undo of a change). The hook's take_back may end the thread
// by unwinding (a forced unwind): the section is then complete and the lock
// free. The functions passed in throw only what derives from std::exception
// (another kind would escape a wait with the outer lock let go).
//
// Fork and the locks themselves: shared_spin_mutex.h, striped_shared_mutex.h.
// Sections skip the lock while the outer lock serializes every caller:
// outer_lock_count.h.
//
// Thread safety: all members are safe to call concurrently. The functions
// passed in must not call back into the same guard, nor into any other.

#pragma once

#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <type_traits>

#include "sync/outer_lock_count.h"
#include "sync/shared_spin_mutex.h"
#include "sync/striped_shared_mutex.h"
#include "sync/wait_hook.h"

namespace vennu {

// The subsystems' lock. Where the interpreter runs threads at once
// (MESH_STRIPED_READERS, set for free-threaded builds), readers of one
// subsystem meet on many cores, and StripedSharedMutex keeps them off each
// other's lines; where the interpreter lock serializes callers, sections
// mostly skip the lock (outer_lock_count.h), and the single word's smaller
// footprint wins.
#if defined(MESH_STRIPED_READERS)
using SubsystemMutex = StripedSharedMutex;
#else
using SubsystemMutex = SharedSpinMutex;
#endif

template <class T, class Mutex = SubsystemMutex>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(Args&&... args) : data_(std::forward<Args>(args)...) {}

  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  template <class Fn>
  bool read(Fn&& fn) const {
    if (OuterLockCount::serialized()) return read_locked(fn);
    if constexpr (kShared) {
      if (mutex_.try_lock_shared()) {
        std::shared_lock lock(mutex_, std::adopt_lock);
        return read_locked(fn);
      }
      return after_wait([&] {
        std::shared_lock lock(mutex_);
        return read_locked(fn);
      });
    } else {
      if (mutex_.try_lock()) {
        std::unique_lock lock(mutex_, std::adopt_lock);
        return read_locked(fn);
      }
      return after_wait([&] {
        std::unique_lock lock(mutex_);
        return read_locked(fn);
      });
    }
  }

  // Runs fn(data) for each of count guards, guard_at(0) to
  // guard_at(count - 1), with all their shared locks held at once, so that
  // what fn sees of them is one moment's. The locks are taken from the last
  // guard down to the first: the order in which a fork takes them when the
  // guards were made first to last (a roster keeps its newest lock first),
  // so that a reader waiting for one of them while it holds others never
  // waits for a fork that waits for it. False, without running fn, once
  // any of them is poisoned.
  template <class GuardAt, class Fn>
  static bool read_together(std::size_t count, const GuardAt& guard_at, Fn&& fn) {
    static_assert(kShared, "guards read together share their locks");
    const auto run = [&] {
      for (std::size_t i = 0; i < count; ++i) {
        if (guard_at(i).poisoned_) return false;
      }
      for (std::size_t i = 0; i < count; ++i) fn(static_cast<const T&>(guard_at(i).data_));
      return true;
    };
    if (OuterLockCount::serialized()) return run();
    // The shared locks of guards [first, count), released on every exit.
    struct Held {
      const GuardAt& guard_at;
      std::size_t count;
      std::size_t first;
      ~Held() {
        for (std::size_t i = first; i < count; ++i) guard_at(i).mutex_.unlock_shared();
      }
    };
    {
      Held held{guard_at, count, count};
      while (held.first > 0 && guard_at(held.first - 1).mutex_.try_lock_shared()) --held.first;
      if (held.first == 0) return run();
    }
    return after_wait([&] {
      Held held{guard_at, count, count};
      for (; held.first > 0; --held.first) guard_at(held.first - 1).mutex_.lock_shared();
      return run();
    });
  }

  template <class Fn>
  bool write(Fn&& fn, OuterLock outer = OuterLock::kLetGo) {
    if (OuterLockCount::serialized()) return write_locked(fn);
    if (mutex_.try_lock()) {
      std::unique_lock lock(mutex_, std::adopt_lock);
      return write_locked(fn);
    }
    const auto section = [&] {
      std::unique_lock lock(mutex_);
      return write_locked(fn);
    };
    return outer == OuterLock::kKeep ? section() : after_wait(section);
  }

 private:
  static constexpr bool kShared = requires(Mutex & m) { m.lock_shared(); };

  // Runs section, which waits for the lock, runs and unlocks, with the
  // outer lock let go. The outer lock is taken back outside any handler,
  // with the section's exception held meanwhile, and nothing here catches
  // what take_back may unwind with.
  template <class Section>
  static bool after_wait(const Section& section) {
    const LockWaitHook* hook = lock_wait_hook();
    if (hook == nullptr) return section();
    void* released = hook->let_go();
    bool ran = false;
    std::exception_ptr failure;
    try {
      ran = section();
    } catch (const std::exception&) {
      failure = std::current_exception();
    }
    hook->take_back(released);
    if (failure) std::rethrow_exception(failure);
    return ran;
  }

  template <class Fn>
  bool read_locked(Fn& fn) const {
    if (poisoned_) return false;
    fn(static_cast<const T&>(data_));
    return true;
  }

  template <class Fn>
  bool write_locked(Fn& fn) {
    if (poisoned_) return false;
    try {
      fn(data_);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poisoned_ = true;
      throw;
    }
    return true;
  }

  mutable Mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T data_;                 // guarded by mutex_
};

}  // namespace vennu
