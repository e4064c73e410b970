// StripedSharedMutex: a reader-writer lock whose readers write no line that
// another core's readers write, for subsystems read from many threads at
// once without an interpreter lock to serialize them.
//
// Fork: every StripedSharedMutex of the process is on a roster of its own,
// taken with SharedSpinMutex's by hold_all_locks_for_fork() and the
// functions beside it (shared_spin_mutex.h), under the same rules.
//
// Thread safety: all members are safe to call concurrently.

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "sync/parking.h"

// A thread-local variable of a shared object that glibc places beside the
// thread's own data, reached without the call that the general model makes
// on every access (two calls a section would be a tenth of a small read).
// glibc keeps room for a few bytes of these in objects loaded later, as the
// module is; elsewhere the general model stays.
#if defined(__GLIBC__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define VENNU_INITIAL_EXEC_TLS __attribute__((tls_model("initial-exec")))
#else
#define VENNU_INITIAL_EXEC_TLS
#endif

namespace vennu {

// Readers count themselves on one of several stripes, each on a cache line
// of its own, chosen by the calling thread; a writer claims the writer bit
// of a word that readers only read, which keeps new readers out, then waits
// until every stripe reads zero. A reader therefore moves no line between
// cores while no writer comes: a shared count that every reader increments
// passes its line from core to core on every section, and the cheaper the
// section, the more that transfer weighs. The price is on writers, which
// read every stripe, and on memory: a stripe per line.
//
// The handshake: a reader increments its stripe, then reads the word; a
// writer sets the writer bit, then reads the stripes (each step sequentially
// consistent). Of two such pairs at least one sees the other's write, so
// either the reader backs off or the writer waits for it. A waiter that
// sleeps sets the sleeper bit first and sleeps on the word; a leaving
// reader that sees the bit clears it and wakes the sleepers (a writer
// waiting for the readers, or readers waiting for the writer, which look
// again and sleep again).
class StripedSharedMutex {
 public:
  // Allocates the stripes: may throw std::bad_alloc.
  StripedSharedMutex();
  ~StripedSharedMutex();
  StripedSharedMutex(const StripedSharedMutex&) = delete;
  StripedSharedMutex& operator=(const StripedSharedMutex&) = delete;

  bool try_lock_shared() { return enter(); }
  void lock_shared() {
    if (!try_lock_shared()) wait_to_read();
  }
  void unlock_shared() { leave(own_stripe()); }

  bool try_lock();
  void lock();
  // As SharedSpinMutex::unlock: a plain store when nobody sleeps.
  void unlock() {
    if ((word_.load(std::memory_order_relaxed) & kSleepers) == 0) {
      word_.store(0, std::memory_order_release);
      return;
    }
    word_.exchange(0, std::memory_order_release);
    wake_all(word_);
  }

  // For reset_all_locks_in_fork_child: no other thread exists to hold or
  // wait for the lock.
  void reset();

  // The number of stripes of every lock: the next power of two from twice
  // the processor count, so that threads a few more than the cores still
  // find a stripe each, at most kMostStripes.
  static std::size_t stripe_count();

 private:
  friend class StripedLockRoster;

  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kSleepers = 1u << 30;
  static constexpr std::size_t kMostStripes = 64;
  // Two lines on most machines: x86 fetches lines in pairs, and the line of
  // many aarch64 cores is 128 bytes. s390x has 256-byte lines.
#if defined(__s390x__)
  static constexpr std::size_t kStripeBytes = 256;
#else
  static constexpr std::size_t kStripeBytes = 128;
#endif

  // Filled out to its alignment by hand: a compiler that pads it itself may
  // warn that it did.
  struct alignas(kStripeBytes) Stripe {
    std::atomic<std::uint32_t> readers{0};
    unsigned char rest_of_the_line[kStripeBytes - sizeof(std::atomic<std::uint32_t>)];
  };
  static_assert(sizeof(Stripe) == kStripeBytes);

  // The calling thread's stripe: threads take numbers in the order they
  // first read any such lock, so the first few threads of a process never
  // share one.
  std::atomic<std::uint32_t>& own_stripe() const {
    VENNU_INITIAL_EXEC_TLS thread_local std::uint32_t number = 0;  // 0 until the thread takes one
    if (number == 0) number = next_thread_number();
    return stripes_[number & stripe_mask_].readers;
  }
  static std::uint32_t next_thread_number();

  // One attempt to read. A writer seen before the increment is waited for
  // without one, so that the writer does not see this stripe move: when
  // writes are frequent, the line then stays with its thread.
  bool enter() {
    if ((word_.load(std::memory_order_relaxed) & kWriter) != 0) return false;
    std::atomic<std::uint32_t>& count = own_stripe();
    count.fetch_add(1, std::memory_order_seq_cst);
    if ((word_.load(std::memory_order_seq_cst) & kWriter) == 0) return true;
    leave(count);
    return false;
  }
  void leave(std::atomic<std::uint32_t>& count) {
    count.fetch_sub(1, std::memory_order_seq_cst);
    if ((word_.load(std::memory_order_seq_cst) & kSleepers) != 0) wake_sleepers();
  }
  void wake_sleepers();
  void wait_to_read();
  void wait_for_readers();
  bool no_readers() const;
  void wait_while(std::uint32_t word, unsigned spins);

  std::atomic<std::uint32_t> word_{0};
  std::size_t stripe_mask_;
  std::unique_ptr<Stripe[]> stripes_;
  // Links of the roster, guarded by its mutex.
  StripedSharedMutex* roster_prev_ = nullptr;
  StripedSharedMutex* roster_next_ = nullptr;
};

// Each called by its SharedSpinMutex counterpart (shared_spin_mutex.h).
void hold_striped_locks_for_fork();
void release_striped_locks_after_fork();
void reset_striped_locks_in_fork_child();

}  // namespace vennu
