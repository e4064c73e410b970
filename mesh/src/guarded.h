// Guarded<T>: data that can only be reached under its lock, with the
// poisoned mark that a lock keeps once an exclusive section was abandoned.
//
// write() runs a function under the exclusive lock; if an exception escapes
// it, the data may be half-changed, so the guard is poisoned for good and the
// exception propagates. read() runs under the shared lock and never poisons.
// Both return false, without running the function, once poisoned.
//
// Thread safety: all members are safe to call concurrently. The functions
// passed in must not call back into the same guard.

#pragma once

#include <mutex>
#include <shared_mutex>
#include <type_traits>

namespace vennu {

template <class T, class Mutex = std::shared_mutex>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(Args&&... args) : data_(std::forward<Args>(args)...) {}

  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  template <class Fn>
  bool read(Fn&& fn) const {
    if constexpr (std::is_same_v<Mutex, std::shared_mutex>) {
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
    } catch (...) {
      poisoned_ = true;
      throw;
    }
    return true;
  }

 private:
  mutable Mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T data_;                 // guarded by mutex_
};

}  // namespace vennu
