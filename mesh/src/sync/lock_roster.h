// LockRoster<Lock>: every lock of one type in the process, linked through
// the lock's own roster_prev_ and roster_next_ fields, so that a fork can
// hold them all (see shared_spin_mutex.h).
//
// Thread safety: all members are safe to call concurrently; the roster's
// mutex guards the links of every lock on it.

#pragma once

#include <mutex>
#include <new>

namespace vennu {

// Lock befriends the roster and has lock(), unlock() and reset() (for a
// forked child's only thread).
template <class Lock>
class LockRoster {
 public:
  static LockRoster& instance() {
    // Never destroyed, so that a lock in a static object may leave the
    // roster at any point of the process's exit.
    alignas(LockRoster) static unsigned char storage[sizeof(LockRoster)];
    static LockRoster* const roster = new (storage) LockRoster();
    return *roster;
  }

  void add(Lock* lock) noexcept {
    std::lock_guard hold(mutex_);
    lock->roster_next_ = first_;
    if (first_ != nullptr) first_->roster_prev_ = lock;
    first_ = lock;
  }
  void remove(Lock* lock) noexcept {
    std::lock_guard hold(mutex_);
    if (lock->roster_prev_ != nullptr) {
      lock->roster_prev_->roster_next_ = lock->roster_next_;
    } else {
      first_ = lock->roster_next_;
    }
    if (lock->roster_next_ != nullptr) lock->roster_next_->roster_prev_ = lock->roster_prev_;
  }

  // The roster's own mutex stays held from hold_all to release_all or
  // reset_all, so that no lock joins or leaves in between.
  void hold_all() {
    mutex_.lock();
    for (Lock* lock = first_; lock != nullptr; lock = lock->roster_next_) lock->lock();
  }
  void release_all() {
    for (Lock* lock = first_; lock != nullptr; lock = lock->roster_next_) lock->unlock();
    mutex_.unlock();
  }
  void reset_all() {
    for (Lock* lock = first_; lock != nullptr; lock = lock->roster_next_) lock->reset();
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  Lock* first_ = nullptr;  // guarded by mutex_
};

}  // namespace vennu
