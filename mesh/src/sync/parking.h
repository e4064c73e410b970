// Sleeping on a lock word until it changes, for the locks of this layer.
//
// Thread safety: both functions are safe to call from any thread, and in a
// forked child once reset_parking_in_fork_child() has run there.

#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#endif

namespace vennu {

// Sleeping on a lock word: the sleep ends when wake_all is called for the
// word after it changed, or after kLongestLockSleep at the latest. The bound
// lets a writer leave with a plain store (see SharedSpinMutex::unlock), so
// it is measured on a monotonic clock (parking.cpp). Sleepers park on the
// word with a futex on Linux, elsewhere on a few mutexes and condition
// variables shared by address; not on std::atomic::wait, which has no time
// limit (and which libstdc++ without a platform wait, as on MinGW-w64, can
// leave asleep for good).
inline constexpr std::chrono::milliseconds kLongestLockSleep{1};
void sleep_while_equal(const std::atomic<std::uint32_t>& word, std::uint32_t value);
void wake_all(std::atomic<std::uint32_t>& word);
#ifdef MESH_FAULT_INJECTION
// Test builds only: sleeps last up to limit instead, so that a wake-up
// that never comes shows as a wait of that length, which the short limit
// hides.
void TEST_set_longest_lock_sleep(std::chrono::milliseconds limit);
#endif

// Tells the processor that the thread spins waiting for another, so that
// it spends less on the loop (x86's pause); a no-op where there is no such
// hint.
inline void pause_spinning_thread() {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_pause();
#elif defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Makes the parking places anew in a forked child, where a thread of the
// parent may have held one, or slept on it, at the fork.
void reset_parking_in_fork_child();

}  // namespace vennu
