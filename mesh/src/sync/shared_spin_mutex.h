// SharedSpinMutex: the reader-writer lock of every subsystem, and the fork
// roster that holds all of them across a fork.
//
// Fork: every SharedSpinMutex of the process is on one roster (lock_roster.h).
// hold_all_locks_for_fork() takes each exclusively, waiting for the sections
// in progress to end; release_all_locks_after_fork() lets them go in the
// parent and reset_all_locks_in_fork_child() frees them in the child, whose
// only thread is the forker. A child forked between the two therefore finds
// every guarded value as some section left it, and every lock free. This
// holds because a section never waits for anything the forking thread may
// hold: it takes no other guard's lock and calls no hook while locked.
//
// Thread safety: all members are safe to call concurrently.

#pragma once

#include <atomic>
#include <cstdint>

#include "sync/parking.h"

namespace vennu {

template <class Lock>
class LockRoster;

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
  friend class LockRoster<SharedSpinMutex>;

  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kSleepers = 1u << 30;
  static constexpr std::uint32_t kReaders = kSleepers - 1;
  static constexpr unsigned kSpins = 64;

  // One step of waiting while the word reads state.
  void wait_while(std::uint32_t state, unsigned spins) {
    if (spins < kSpins) {
      pause_spinning_thread();
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

}  // namespace vennu
