#include "sync/shared_spin_mutex.h"

#include <mutex>
#include <new>

#include "sync/outer_lock_count.h"
#include "sync/striped_shared_mutex.h"

namespace vennu {

// The process's SharedSpinMutexes, linked through their roster fields.
class LockRoster {
 public:
  static LockRoster& instance() {
    // Never destroyed, so that a lock in a static object may leave the
    // roster at any point of the process's exit.
    alignas(LockRoster) static unsigned char storage[sizeof(LockRoster)];
    static LockRoster* const roster = new (storage) LockRoster();
    return *roster;
  }

  void add(SharedSpinMutex* lock) noexcept {
    std::lock_guard hold(mutex_);
    lock->roster_next_ = first_;
    if (first_ != nullptr) first_->roster_prev_ = lock;
    first_ = lock;
  }
  void remove(SharedSpinMutex* lock) noexcept {
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
    for (SharedSpinMutex* lock = first_; lock != nullptr; lock = lock->roster_next_) lock->lock();
  }
  void release_all() {
    for (SharedSpinMutex* lock = first_; lock != nullptr; lock = lock->roster_next_) lock->unlock();
    mutex_.unlock();
  }
  void reset_all() {
    for (SharedSpinMutex* lock = first_; lock != nullptr; lock = lock->roster_next_) lock->reset();
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  SharedSpinMutex* first_ = nullptr;  // guarded by mutex_
};

SharedSpinMutex::SharedSpinMutex() noexcept { LockRoster::instance().add(this); }
SharedSpinMutex::~SharedSpinMutex() { LockRoster::instance().remove(this); }

void hold_all_locks_for_fork() {
  LockRoster::instance().hold_all();
  hold_striped_locks_for_fork();
}
void release_all_locks_after_fork() {
  release_striped_locks_after_fork();
  LockRoster::instance().release_all();
}
void reset_all_locks_in_fork_child() {
  reset_parking_in_fork_child();
  reset_striped_locks_in_fork_child();
  LockRoster::instance().reset_all();
  OuterLockCount::reset_in_fork_child();
}

}  // namespace vennu
