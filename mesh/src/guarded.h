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
// Fork: every SharedSpinMutex of the process is on one roster.
// hold_all_locks_for_fork() takes each exclusively, waiting for the sections
// in progress to end; release_all_locks_after_fork() lets them go in the
// parent and reset_all_locks_in_fork_child() frees them in the child, whose
// only thread is the forker. A child forked between the two therefore finds
// every guarded value as some section left it, and every lock free. This
// holds because a section never waits for anything the forking thread may
// hold: it takes no other guard's lock and calls no hook while locked.
//
// Serialized sections: an embedding whose threads call into guards only
// while holding one outer lock (the interpreter lock), or after counting
// themselves out of it, may let sections skip their guard's lock. With the
// outer lock held and nobody counted out, no other section can be running
// or start, so taking the guard's lock would only cost its two atomic
// operations. See OuterLockCount below.
//
// Thread safety: all members are safe to call concurrently. The functions
// passed in must not call back into the same guard, nor into any other.

#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <type_traits>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#endif

namespace vennu {

// Sleeping on a lock word: the sleep ends when wake_all is called for the
// word after it changed, or after kLongestLockSleep at the latest. The bound
// lets a writer leave with a plain store (see SharedSpinMutex::unlock).
// Sleepers park on a few mutexes and condition variables shared by address,
// not on std::atomic::wait, which has no time limit (and which libstdc++
// without a platform wait, as on MinGW-w64, can leave asleep for good).
inline constexpr std::chrono::milliseconds kLongestLockSleep{1};
void sleep_while_equal(const std::atomic<std::uint32_t>& word, std::uint32_t value);
void wake_all(std::atomic<std::uint32_t>& word);
#ifdef MESH_FAULT_INJECTION
// Test builds only: sleeps last up to limit instead, so that a wake-up
// that never comes shows as a wait of that length, which the short limit
// hides.
void TEST_set_longest_lock_sleep(std::chrono::milliseconds limit);
#endif

// A reader-writer lock for sections of a few hundred nanoseconds: one atomic
// operation to enter and one to leave, where the system's rwlock takes
// several. A writer first claims the writer bit, which keeps new readers
// out, then waits for the readers inside to leave, so writers are not
// starved. Waiters spin briefly, then set the sleeper bit and sleep on the
// word until a leaving holder that sees the bit wakes them; a lock that
// nobody waits for is never notified.
class SharedSpinMutex {
 public:
  SharedSpinMutex() noexcept;
  ~SharedSpinMutex();
  SharedSpinMutex(const SharedSpinMutex&) = delete;
  SharedSpinMutex& operator=(const SharedSpinMutex&) = delete;

  bool try_lock_shared() {
    std::uint32_t state = state_.load(std::memory_order_relaxed);
    while ((state & kWriter) == 0) {
      if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  void lock_shared() {
    for (unsigned spins = 0;; ++spins) {
      std::uint32_t state = state_.load(std::memory_order_relaxed);
      if ((state & kWriter) == 0) {
        if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      wait_while(state, spins);
    }
  }
  void unlock_shared() {
    const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
    // Only a writer waits for readers; the last one out wakes it.
    if ((before & kSleepers) != 0 && (before & kReaders) == 1) wake_all(state_);
  }

  bool try_lock() {
    std::uint32_t free = 0;
    return state_.compare_exchange_strong(free, kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void lock() {
    for (unsigned spins = 0;; ++spins) {
      std::uint32_t state = state_.load(std::memory_order_relaxed);
      if ((state & kWriter) == 0) {
        if (state_.compare_exchange_weak(state, state | kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          break;
        }
        continue;
      }
      wait_while(state, spins);
    }
    for (unsigned spins = 0;; ++spins) {
      const std::uint32_t state = state_.load(std::memory_order_acquire);
      if ((state & kReaders) == 0) return;
      wait_while(state, spins);
    }
  }
  // Clears the sleeper bit with the rest: every sleeper wakes, and those
  // that must wait again set it again. With no sleeper this is a plain
  // store, as cheap as the section's other steps, where an exchange would
  // add an atomic read-modify-write to every write. A waiter that sets the
  // bit between the load and the store is not woken: its sleep ends by
  // its time limit, and it finds the lock free.
  void unlock() {
    if ((state_.load(std::memory_order_relaxed) & kSleepers) == 0) {
      state_.store(0, std::memory_order_release);
      return;
    }
    state_.exchange(0, std::memory_order_release);
    wake_all(state_);
  }

  // For reset_all_locks_in_fork_child: no other thread exists to hold or
  // wait for the lock.
  void reset() { state_.store(0, std::memory_order_relaxed); }

 private:
  friend class LockRoster;

  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kSleepers = 1u << 30;
  static constexpr std::uint32_t kReaders = kSleepers - 1;
  static constexpr unsigned kSpins = 64;

  // One step of waiting while the word reads state.
  void wait_while(std::uint32_t state, unsigned spins) {
    if (spins < kSpins) {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
      _mm_pause();
#elif defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
      return;
    }
    if ((state & kSleepers) == 0) {
      // A holder that leaves after this sees the bit; one that left before
      // changed the word, and the caller looks again.
      if (!state_.compare_exchange_strong(state, state | kSleepers, std::memory_order_relaxed)) {
        return;
      }
      state |= kSleepers;
    }
    sleep_while_equal(state_, state);
  }

  std::atomic<std::uint32_t> state_{0};
  // Links of the roster, guarded by its mutex.
  SharedSpinMutex* roster_prev_ = nullptr;
  SharedSpinMutex* roster_next_ = nullptr;
};

void hold_all_locks_for_fork();
void release_all_locks_after_fork();
void reset_all_locks_in_fork_child();

// Set once, before any thread uses a guard (nullptr, the default, waits
// with whatever the thread holds).
struct LockWaitHook {
  // Lets go of the thread's outer lock, if it holds it; the result is for
  // take_back.
  void* (*let_go)();
  // Takes back what let_go let go of. May end the thread by unwinding.
  void (*take_back)(void* released);
};
void set_lock_wait_hook(const LockWaitHook* hook);
const LockWaitHook* lock_wait_hook();

enum class OuterLock : std::uint8_t { kLetGo, kKeep };

// The threads that may run sections without holding the outer lock, plus
// one until enable() (so nothing is skipped by default). Each thread counts
// itself out before it lets the outer lock go and back in after it takes
// it back, both with the outer lock held; so a thread that holds the outer
// lock and reads zero knows that no section runs anywhere else until it
// lets go, and the outer lock's own hand-over orders the data between them.
// The count is changed only under the outer lock; it is atomic because a
// counted-out thread reads it (and finds itself counted) meanwhile.
class OuterLockCount {
 public:
  // Once, before any guard is used; only where every call into a guard
  // holds the outer lock or is counted out.
  static void enable() {
    enabled_.store(true, std::memory_order_relaxed);
    outside_.fetch_sub(1, std::memory_order_relaxed);
  }
  static void count_out() { outside_.fetch_add(1, std::memory_order_relaxed); }
  static void count_in() { outside_.fetch_sub(1, std::memory_order_relaxed); }
  // True when the caller, holding the outer lock, may skip guards' locks.
  static bool serialized() { return outside_.load(std::memory_order_relaxed) == 0; }
  // In a forked child: its only thread is the forker, which forks holding
  // the outer lock (a child forked otherwise cannot take it), so nobody is
  // counted out there.
  static void reset_in_fork_child() {
    outside_.store(enabled_.load(std::memory_order_relaxed) ? 0 : 1, std::memory_order_relaxed);
  }

  // For testing: back to the default, with nobody counted out.
  static void TEST_disable() {
    enabled_.store(false, std::memory_order_relaxed);
    outside_.store(1, std::memory_order_relaxed);
  }

 private:
  static inline std::atomic<std::uint32_t> outside_{1};
  static inline std::atomic<bool> enabled_{false};
};

template <class T, class Mutex = SharedSpinMutex>
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
