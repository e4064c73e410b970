// Serialized sections: an embedding whose threads call into guards only
// while holding one outer lock (the interpreter lock), or after counting
// themselves out of it, may let sections skip their guard's lock. With the
// outer lock held and nobody counted out, no other section can be running
// or start, so taking the guard's lock would only cost its two atomic
// operations.
//
// Thread safety: see the class comment; the count is atomic.

#pragma once

#include <atomic>
#include <cstdint>

namespace vennu {

// The threads that may run sections without holding the outer lock, plus
// one until enable() (so nothing is skipped by default). Each thread counts
// itself out before it lets the outer lock go and back in after it takes
// it back, both with the outer lock held; so a thread that holds the outer
// lock and reads zero knows that no section runs anywhere else until it
// lets go, and the outer lock's own hand-over orders the data between them.
// The count is changed only under the outer lock; it is atomic because a
// counted-out thread reads it (and finds itself counted) meanwhile.
class OuterLockCount {
 public:
  // Once, before any guard is used; only where every call into a guard
  // holds the outer lock or is counted out.
  static void enable() {
    enabled_.store(true, std::memory_order_relaxed);
    outside_.fetch_sub(1, std::memory_order_relaxed);
  }
  static void count_out() { outside_.fetch_add(1, std::memory_order_relaxed); }
  static void count_in() { outside_.fetch_sub(1, std::memory_order_relaxed); }
  // True when the caller, holding the outer lock, may skip guards' locks.
  static bool serialized() { return outside_.load(std::memory_order_relaxed) == 0; }
  // In a forked child: its only thread is the forker, which forks holding
  // the outer lock (a child forked otherwise cannot take it), so nobody is
  // counted out there.
  static void reset_in_fork_child() {
    outside_.store(enabled_.load(std::memory_order_relaxed) ? 0 : 1, std::memory_order_relaxed);
  }

  // For testing: back to the default, with nobody counted out.
  static void TEST_disable() {
    enabled_.store(false, std::memory_order_relaxed);
    outside_.store(1, std::memory_order_relaxed);
  }

 private:
  static inline std::atomic<std::uint32_t> outside_{1};
  static inline std::atomic<bool> enabled_{false};
};

}  // namespace vennu
