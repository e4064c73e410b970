#include "sync/striped_shared_mutex.h"

#include <algorithm>
#include <bit>
#include <thread>

#include "sync/lock_roster.h"

namespace vennu {

namespace {

constexpr unsigned kSpins = 64;

}  // namespace

std::size_t StripedSharedMutex::stripe_count() {
  static const std::size_t count = [] {
    const std::size_t processors = std::thread::hardware_concurrency();
    return std::bit_ceil(std::clamp<std::size_t>(2 * processors, 2, kMostStripes));
  }();
  return count;
}

std::uint32_t StripedSharedMutex::next_thread_number() {
  static std::atomic<std::uint32_t> taken{0};
  const std::uint32_t number = taken.fetch_add(1, std::memory_order_relaxed) + 1;
  return number == 0 ? 1 : number;
}

StripedSharedMutex::StripedSharedMutex()
    : stripe_mask_(stripe_count() - 1), stripes_(new Stripe[stripe_count()]) {
  LockRoster<StripedSharedMutex>::instance().add(this);
}

StripedSharedMutex::~StripedSharedMutex() {
  LockRoster<StripedSharedMutex>::instance().remove(this);
}

bool StripedSharedMutex::try_lock() {
  std::uint32_t free = 0;
  if (!word_.compare_exchange_strong(free, kWriter, std::memory_order_seq_cst,
                                     std::memory_order_relaxed)) {
    return false;
  }
  if (no_readers()) return true;
  // Readers are inside: the claim is given back, waking any reader that
  // went to sleep on it meanwhile.
  unlock();
  return false;
}

void StripedSharedMutex::lock() {
  for (unsigned spins = 0;; ++spins) {
    std::uint32_t word = word_.load(std::memory_order_relaxed);
    if ((word & kWriter) == 0) {
      if (word_.compare_exchange_weak(word, word | kWriter, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
        break;
      }
      continue;
    }
    wait_while(word, spins);
  }
  wait_for_readers();
}

void StripedSharedMutex::reset() {
  for (std::size_t i = 0; i <= stripe_mask_; ++i) {
    stripes_[i].readers.store(0, std::memory_order_relaxed);
  }
  word_.store(0, std::memory_order_relaxed);
}

bool StripedSharedMutex::no_readers() const {
  for (std::size_t i = 0; i <= stripe_mask_; ++i) {
    if (stripes_[i].readers.load(std::memory_order_seq_cst) != 0) return false;
  }
  return true;
}

// Clears the bit before waking, so that a sleeper about to sleep on the
// word with the bit set finds it changed and looks again instead.
void StripedSharedMutex::wake_sleepers() {
  word_.fetch_and(~kSleepers, std::memory_order_seq_cst);
  wake_all(word_);
}

void StripedSharedMutex::wait_to_read() {
  for (unsigned spins = 0;; ++spins) {
    const std::uint32_t word = word_.load(std::memory_order_relaxed);
    if ((word & kWriter) == 0) {
      if (enter()) return;
      continue;
    }
    wait_while(word, spins);
  }
}

// The writer bit is held. A reader that leaves after the sleeper bit is set
// sees it and wakes this writer; one that left before is seen gone by the
// look after setting it.
void StripedSharedMutex::wait_for_readers() {
  for (unsigned spins = 0;; ++spins) {
    if (no_readers()) return;
    if (spins < kSpins) {
      pause_spinning_thread();
      continue;
    }
    std::uint32_t word = word_.load(std::memory_order_relaxed);
    if ((word & kSleepers) == 0 &&
        !word_.compare_exchange_strong(word, word | kSleepers, std::memory_order_seq_cst,
                                       std::memory_order_relaxed)) {
      continue;
    }
    word |= kSleepers;
    // Seen set here, the bit may have been set after a reader's look at the
    // word: that reader's leaving is seen by this look instead.
    if (no_readers()) return;
    sleep_while_equal(word_, word);
  }
}

// One step of waiting for the writer bit to clear while the word reads word.
void StripedSharedMutex::wait_while(std::uint32_t word, unsigned spins) {
  if (spins < kSpins) {
    pause_spinning_thread();
    return;
  }
  if ((word & kSleepers) == 0) {
    // A writer that leaves after this sees the bit; one that left before
    // changed the word, and the caller looks again.
    if (!word_.compare_exchange_strong(word, word | kSleepers, std::memory_order_relaxed)) return;
    word |= kSleepers;
  }
  sleep_while_equal(word_, word);
}

}  // namespace vennu
