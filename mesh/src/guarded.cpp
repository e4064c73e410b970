#include "guarded.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>

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

namespace {

// Sleepers share a few buckets by the word's address; a wake-up of the
// wrong word only makes its sleepers look again.
struct ParkingBucket {
  std::mutex mutex;
  std::condition_variable woken;
};
constexpr std::size_t kParkingBuckets = 16;

// Never destroyed: a daemon thread may still sleep here at exit.
alignas(ParkingBucket) unsigned char parking_storage[sizeof(ParkingBucket) * kParkingBuckets];

// Makes the buckets in their storage: at first use, and anew in a forked
// child, where a thread of the parent may have held a bucket's mutex, or
// slept on its condition variable, at the fork.
ParkingBucket* make_parking_buckets() {
  auto* first = reinterpret_cast<ParkingBucket*>(parking_storage);
  for (std::size_t i = 0; i < kParkingBuckets; ++i) new (first + i) ParkingBucket();
  return first;
}

#ifdef MESH_FAULT_INJECTION
std::atomic<std::chrono::milliseconds::rep> longest_sleep{kLongestLockSleep.count()};
std::chrono::milliseconds longest_lock_sleep() {
  return std::chrono::milliseconds(longest_sleep.load(std::memory_order_relaxed));
}
#else
constexpr std::chrono::milliseconds longest_lock_sleep() { return kLongestLockSleep; }
#endif

ParkingBucket& bucket_for(const void* word) {
  static ParkingBucket* const buckets = make_parking_buckets();
  return buckets[(reinterpret_cast<std::uintptr_t>(word) >> 6) % kParkingBuckets];
}

}  // namespace

void sleep_while_equal(const std::atomic<std::uint32_t>& word, std::uint32_t value) {
  ParkingBucket& bucket = bucket_for(&word);
  std::unique_lock hold(bucket.mutex);
  // Checked under the bucket's mutex, which a waker takes after changing
  // the word: the change is either seen here or wakes this sleep.
  if (word.load(std::memory_order_relaxed) == value) {
    bucket.woken.wait_for(hold, longest_lock_sleep());
  }
}

#ifdef MESH_FAULT_INJECTION
void TEST_set_longest_lock_sleep(std::chrono::milliseconds limit) {
  longest_sleep.store(limit.count(), std::memory_order_relaxed);
}
#endif

void wake_all(std::atomic<std::uint32_t>& word) {
  ParkingBucket& bucket = bucket_for(&word);
  { std::lock_guard hold(bucket.mutex); }
  bucket.woken.notify_all();
}

void hold_all_locks_for_fork() { LockRoster::instance().hold_all(); }
void release_all_locks_after_fork() { LockRoster::instance().release_all(); }
void reset_all_locks_in_fork_child() {
  make_parking_buckets();
  LockRoster::instance().reset_all();
  OuterLockCount::reset_in_fork_child();
}

namespace {
std::atomic<const LockWaitHook*> wait_hook{nullptr};
}  // namespace

void set_lock_wait_hook(const LockWaitHook* hook) {
  wait_hook.store(hook, std::memory_order_release);
}
const LockWaitHook* lock_wait_hook() { return wait_hook.load(std::memory_order_acquire); }

}  // namespace vennu
