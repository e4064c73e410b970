#include "sync/parking.h"

#include <cstddef>

// The limit of a sleep is measured on a clock that nobody sets. The standard
// condition_variable's wait_for becomes a deadline on the wall clock where
// the C library has no timed wait on the monotonic clock (libstdc++ on
// glibc before 2.30, libc++ built for glibc 2.17 as in the wheels,
// MinGW-w64's threads): the wall clock stepped back during the sleep then
// stretches it by the step, and a waiter whose wake-up was missed (see
// SharedSpinMutex::unlock) would wait that long. So Linux sleeps on the
// word itself with a futex, whose relative timeout the kernel measures on
// the monotonic clock, and Windows on condition variables of its own with a
// relative timeout; elsewhere the standard ones remain.
#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#elif defined(_WIN32)
#include "base/windows_api.h"
#else
#include <condition_variable>
#include <mutex>
#include <new>
#endif

namespace vennu {

namespace {

#ifdef MESH_FAULT_INJECTION
std::atomic<std::chrono::milliseconds::rep> longest_sleep{kLongestLockSleep.count()};
std::chrono::milliseconds longest_lock_sleep() {
  return std::chrono::milliseconds(longest_sleep.load(std::memory_order_relaxed));
}
#else
constexpr std::chrono::milliseconds longest_lock_sleep() { return kLongestLockSleep; }
#endif

#if defined(__linux__)

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// The call whose timeout has the C library's timespec: a 32-bit system
// whose time_t has 64 bits (musl, or glibc asked for it) takes it by the
// newer call.
#if defined(SYS_futex) && defined(SYS_futex_time64)
constexpr long kFutexCall = sizeof(std::timespec{}.tv_sec) == 4 ? SYS_futex : SYS_futex_time64;
#elif defined(SYS_futex)
constexpr long kFutexCall = SYS_futex;
#else
constexpr long kFutexCall = SYS_futex_time64;
#endif

long futex(const std::atomic<std::uint32_t>& word, int operation, std::uint32_t value,
           const std::timespec* timeout) {
  return syscall(kFutexCall, const_cast<std::atomic<std::uint32_t>*>(&word), operation, value,
                 timeout, nullptr, 0);
}

#else

// Sleepers share a few buckets by the word's address; a wake-up of the
// wrong word only makes its sleepers look again.
constexpr std::size_t kParkingBuckets = 16;

std::size_t bucket_index(const void* word) {
  return (reinterpret_cast<std::uintptr_t>(word) >> 6) % kParkingBuckets;
}

#if defined(_WIN32)

// Statically initialized, and never destroyed: a daemon thread may still
// sleep here at exit.
struct ParkingBucket {
  SRWLOCK mutex = SRWLOCK_INIT;
  CONDITION_VARIABLE woken = CONDITION_VARIABLE_INIT;
};
ParkingBucket parking_buckets[kParkingBuckets];

ParkingBucket& bucket_for(const void* word) { return parking_buckets[bucket_index(word)]; }

#else

struct ParkingBucket {
  std::mutex mutex;
  std::condition_variable woken;
};

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

ParkingBucket& bucket_for(const void* word) {
  static ParkingBucket* const buckets = make_parking_buckets();
  return buckets[bucket_index(word)];
}

#endif
#endif

}  // namespace

#if defined(__linux__)

// The kernel compares the word with value and sleeps in one step, against
// a wake_all that follows the change.
void sleep_while_equal(const std::atomic<std::uint32_t>& word, std::uint32_t value) {
  const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(longest_lock_sleep());
  std::timespec timeout{};
  timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(limit.count() / 1'000'000'000);
  timeout.tv_nsec = static_cast<decltype(timeout.tv_nsec)>(limit.count() % 1'000'000'000);
  futex(word, FUTEX_WAIT_PRIVATE, value, &timeout);
}

void wake_all(std::atomic<std::uint32_t>& word) {
  futex(word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

// The kernel keeps the sleepers, and a child has none.
void reset_parking_in_fork_child() {}

#elif defined(_WIN32)

void sleep_while_equal(const std::atomic<std::uint32_t>& word, std::uint32_t value) {
  ParkingBucket& bucket = bucket_for(&word);
  AcquireSRWLockExclusive(&bucket.mutex);
  // Checked under the bucket's lock, which a waker takes after changing the
  // word: the change is either seen here or wakes this sleep.
  if (word.load(std::memory_order_relaxed) == value) {
    SleepConditionVariableSRW(&bucket.woken, &bucket.mutex,
                              static_cast<DWORD>(longest_lock_sleep().count()), 0);
  }
  ReleaseSRWLockExclusive(&bucket.mutex);
}

void wake_all(std::atomic<std::uint32_t>& word) {
  ParkingBucket& bucket = bucket_for(&word);
  AcquireSRWLockExclusive(&bucket.mutex);
  ReleaseSRWLockExclusive(&bucket.mutex);
  WakeAllConditionVariable(&bucket.woken);
}

void reset_parking_in_fork_child() {}

#else

void sleep_while_equal(const std::atomic<std::uint32_t>& word, std::uint32_t value) {
  ParkingBucket& bucket = bucket_for(&word);
  std::unique_lock hold(bucket.mutex);
  // Checked under the bucket's mutex, which a waker takes after changing
  // the word: the change is either seen here or wakes this sleep.
  if (word.load(std::memory_order_relaxed) == value) {
    bucket.woken.wait_for(hold, longest_lock_sleep());
  }
}

void wake_all(std::atomic<std::uint32_t>& word) {
  ParkingBucket& bucket = bucket_for(&word);
  { std::lock_guard hold(bucket.mutex); }
  bucket.woken.notify_all();
}

void reset_parking_in_fork_child() { make_parking_buckets(); }

#endif

#ifdef MESH_FAULT_INJECTION
void TEST_set_longest_lock_sleep(std::chrono::milliseconds limit) {
  longest_sleep.store(limit.count(), std::memory_order_relaxed);
}
#endif

}  // namespace vennu
