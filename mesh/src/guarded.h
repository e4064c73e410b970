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
// Thread safety: all members are safe to call concurrently. The functions
// passed in must not call back into the same guard.

#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <type_traits>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#endif

namespace vennu {

// A reader-writer lock for sections of a few hundred nanoseconds: one atomic
// operation to enter and one to leave, where the system's rwlock takes
// several. A writer first claims the writer bit, which keeps new readers
// out, then waits for the readers inside to leave, so writers are not
// starved. Waiters spin briefly, then yield.
class SharedSpinMutex {
 public:
  void lock_shared() {
    for (unsigned spins = 0;; ++spins) {
      std::uint32_t state = state_.load(std::memory_order_relaxed);
      if ((state & kWriter) == 0 &&
          state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      pause(spins);
    }
  }
  void unlock_shared() { state_.fetch_sub(1, std::memory_order_release); }

  void lock() {
    for (unsigned spins = 0;; ++spins) {
      std::uint32_t state = state_.load(std::memory_order_relaxed);
      if ((state & kWriter) == 0 &&
          state_.compare_exchange_weak(state, state | kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        break;
      }
      pause(spins);
    }
    for (unsigned spins = 0; state_.load(std::memory_order_acquire) != kWriter; ++spins) {
      pause(spins);
    }
  }
  void unlock() { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;

  static void pause(unsigned spins) {
    if (spins < 64) {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
      _mm_pause();
#elif defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    } else {
      std::this_thread::yield();
    }
  }

  std::atomic<std::uint32_t> state_{0};
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
    if constexpr (kShared) {
      std::shared_lock lock(mutex_);
      if (poisoned_) return false;
      fn(static_cast<const T&>(data_));
    } else {
      std::unique_lock lock(mutex_);
      if (poisoned_) return false;
      fn(static_cast<const T&>(data_));
    }
    return true;
  }

  template <class Fn>
  bool write(Fn&& fn) {
    std::unique_lock lock(mutex_);
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

 private:
  static constexpr bool kShared = requires(Mutex& m) { m.lock_shared(); };

  mutable Mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T data_;                 // guarded by mutex_
};

}  // namespace vennu
