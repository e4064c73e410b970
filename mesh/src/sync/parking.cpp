#include "sync/parking.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>

namespace vennu {

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

void reset_parking_in_fork_child() { make_parking_buckets(); }

}  // namespace vennu
