#include "sync/guarded.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.h"
#include "sync/striped_shared_mutex.h"
#include "sync/versioned_text.h"

namespace vennu {
namespace {

template <class Mutex>
class GuardedTest : public ::testing::Test {};

using Mutexes = ::testing::Types<SharedSpinMutex, StripedSharedMutex, std::mutex>;
TYPED_TEST_SUITE(GuardedTest, Mutexes);

// The reader-writer locks, which share sections and join the fork roster.
template <class Mutex>
class SharedLockConcurrency : public ::testing::Test {};
using SharedMutexes = ::testing::Types<SharedSpinMutex, StripedSharedMutex>;
TYPED_TEST_SUITE(SharedLockConcurrency, SharedMutexes);

// Waits until done holds, for at most a few seconds: a lock that keeps a
// thread out for good fails the test instead of hanging it.
template <class Done>
bool eventually(const Done& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

template <class Mutex>
std::vector<int> contents(const Guarded<std::vector<int>, Mutex>& guarded) {
  std::vector<int> copy;
  EXPECT_TRUE(guarded.read([&](const std::vector<int>& data) { copy = data; }));
  return copy;
}

// A section that runs out of memory has changed nothing, so the guard
// stays usable and the error reaches the caller.
TYPED_TEST(GuardedTest, OutOfMemoryDoesNotPoison) {
  Guarded<std::vector<int>, TypeParam> guarded(std::vector<int>{1, 2});
  EXPECT_THROW(guarded.write([](std::vector<int>&) { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_THROW(guarded.write([](std::vector<int>&) { throw std::bad_array_new_length(); }),
               std::bad_alloc);
  EXPECT_EQ(contents(guarded), (std::vector<int>{1, 2}));
  EXPECT_TRUE(guarded.write([](std::vector<int>& data) { data.push_back(3); }));
  EXPECT_EQ(contents(guarded), (std::vector<int>{1, 2, 3}));
}

// Anything else leaving an exclusive section may have left the data half
// changed: the guard refuses every later section.
TYPED_TEST(GuardedTest, OtherFailuresPoisonForGood) {
  for (const bool internal : {true, false}) {
    Guarded<std::vector<int>, TypeParam> guarded(std::vector<int>{1});
    const auto fail = [internal](std::vector<int>& data) {
      data.push_back(2);
      if (internal) throw InternalFault("broken");
      throw std::runtime_error("broken");
    };
    if (internal) {
      EXPECT_THROW(guarded.write(fail), InternalFault);
    } else {
      EXPECT_THROW(guarded.write(fail), std::runtime_error);
    }
    bool ran = false;
    EXPECT_FALSE(guarded.write([&](std::vector<int>&) { ran = true; }));
    EXPECT_FALSE(guarded.read([&](const std::vector<int>&) { ran = true; }));
    EXPECT_FALSE(ran);
  }
}

// A failure under the shared lock changes nothing and poisons nothing.
TYPED_TEST(GuardedTest, ReadFailuresPropagateWithoutPoisoning) {
  Guarded<std::vector<int>, TypeParam> guarded(std::vector<int>{4});
  EXPECT_THROW(guarded.read([](const std::vector<int>&) { throw InternalFault("read"); }),
               InternalFault);
  EXPECT_EQ(contents(guarded), (std::vector<int>{4}));
}

// A hook that counts its calls and checks, on taking back, that the guard's
// lock is already free again.
struct CountingHook {
  static inline std::atomic<int> let_go{0};
  static inline std::atomic<int> taken_back{0};
  static inline std::atomic<bool> free_when_taken_back{true};
  static inline const Guarded<std::vector<int>>* guarded = nullptr;
  // clang-format off
  static constexpr LockWaitHook hook{
      [] {
        ++let_go;
        return static_cast<void*>(&let_go);
      },
      [](void* released) {
        EXPECT_EQ(released, &let_go);
        if (!guarded->read([](const std::vector<int>&) {})) free_when_taken_back = false;
        ++taken_back;
      }};
  // clang-format on
};

// A section that finds its lock taken lets the outer lock go for the wait,
// the section and the unlock; one that finds it free, or keeps the outer
// lock by request, never calls the hook.
TEST(GuardedConcurrency, OnlyWaitsLetTheOuterLockGo) {
  Guarded<std::vector<int>> guarded(std::vector<int>{0});
  CountingHook::guarded = &guarded;
  set_lock_wait_hook(&CountingHook::hook);
  EXPECT_TRUE(guarded.write([](std::vector<int>& data) { data.push_back(1); }));
  EXPECT_EQ(CountingHook::let_go, 0);
  for (const bool keep : {false, true}) {
    std::atomic<bool> inside{false};
    std::thread holder([&] {
      guarded.read([&](const std::vector<int>&) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      });
    });
    while (!inside) std::this_thread::yield();
    EXPECT_TRUE(guarded.write([](std::vector<int>& data) { data.push_back(2); },
                              keep ? OuterLock::kKeep : OuterLock::kLetGo));
    holder.join();
  }
  set_lock_wait_hook(nullptr);
  EXPECT_EQ(CountingHook::let_go, 1);
  EXPECT_EQ(CountingHook::taken_back, 1);
  EXPECT_TRUE(CountingHook::free_when_taken_back);
  EXPECT_EQ(contents(guarded), (std::vector<int>{0, 1, 2, 2}));
}

// Holding every lock for a fork waits for the sections in progress and
// keeps new ones out until the locks are let go or reset.
TYPED_TEST(SharedLockConcurrency, ForkHoldWaitsForSectionsAndKeepsOthersOut) {
  for (const bool child : {false, true}) {
    Guarded<int, TypeParam> guarded(0);
    std::atomic<bool> inside{false};
    std::thread writer([&] {
      guarded.write([&](int& value) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        value = 1;
      });
    });
    while (!inside) std::this_thread::yield();
    hold_all_locks_for_fork();
    writer.join();
    int seen = -1;
    if (child) {
      // The child's only thread finds every lock free.
      reset_all_locks_in_fork_child();
      EXPECT_TRUE(guarded.read([&](const int& value) { seen = value; }));
    } else {
      std::atomic<bool> read{false};
      std::thread reader([&] { read = guarded.read([&](const int& value) { seen = value; }); });
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_FALSE(read);
      release_all_locks_after_fork();
      reader.join();
      EXPECT_TRUE(read);
    }
    EXPECT_EQ(seen, 1);
  }
}

// Guards read together are taken in the order a fork takes them, so that a
// reader holding some while it waits for another, a writer and a fork that
// holds every lock again and again never wait for each other in a circle:
// the other order hangs this test within a few rounds.
TYPED_TEST(SharedLockConcurrency, ReadingTogetherCrossesForks) {
  constexpr std::size_t kGuards = 8;
  const auto guards = std::make_unique<Guarded<int, TypeParam>[]>(kGuards);
  const auto guard_at = [&](std::size_t i) -> const Guarded<int, TypeParam>& { return guards[i]; };
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::atomic<int> writes{0};
  const auto read_all = [&] {
    return Guarded<int, TypeParam>::read_together(kGuards, guard_at, [](int) {});
  };
  std::thread reader([&] {
    for (; !stop; ++reads) EXPECT_TRUE(read_all());
  });
  std::thread writer([&] {
    for (; !stop; ++writes) guards[writes % kGuards].write([](int& value) { ++value; });
  });
  while (reads < 20000 || writes < 20000) {
    hold_all_locks_for_fork();
    release_all_locks_after_fork();
  }
  stop = true;
  reader.join();
  writer.join();
}

// Writers exclude everyone: readers never see a write half done, and no
// increment is lost, with more threads than a striped lock has stripes.
TYPED_TEST(SharedLockConcurrency, WritersExcludeReadersAndWriters) {
  Guarded<std::pair<int, int>, TypeParam> guarded(0, 0);  // both halves always equal
  constexpr int kThreads = 6;
  constexpr int kRounds = 3000;
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        if ((round + t) % 4 == 0) {
          guarded.write([](std::pair<int, int>& pair) {
            ++pair.first;
            std::this_thread::yield();
            ++pair.second;
          });
        } else {
          // Held across a yield, so that a writer let in meanwhile shows.
          guarded.read([&](const std::pair<int, int>& pair) {
            const int first = pair.first;
            std::this_thread::yield();
            torn += pair.first != first || pair.second != first;
          });
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(torn, 0);
  std::pair<int, int> total;
  guarded.read([&](const std::pair<int, int>& pair) { total = pair; });
  EXPECT_EQ(total, std::make_pair(kThreads * kRounds / 4, kThreads * kRounds / 4));
}

// Readers share the lock: each waits inside until all are inside at once.
TYPED_TEST(SharedLockConcurrency, ReadersAreInsideTogether) {
  Guarded<int, TypeParam> guarded(0);
  constexpr int kReaders = 3;
  std::atomic<int> inside{0};
  std::atomic<int> together{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      guarded.read([&](const int&) {
        ++inside;
        together += eventually([&] { return inside == kReaders; });
      });
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(together, kReaders);
}

// A waiting writer keeps new readers out, so readers that overlap without
// end cannot keep it waiting; the readers then wait for the writer.
TYPED_TEST(SharedLockConcurrency, WriterIsNotStarvedByOverlappingReaders) {
  Guarded<int, TypeParam> guarded(0);
  std::atomic<bool> written{false};
  std::atomic<bool> give_up{false};
  std::atomic<int> reading{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!written && !give_up) {
        guarded.read([&](const int&) {
          ++reading;
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          --reading;
        });
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return reading > 0; }));
  std::thread writer([&] {
    guarded.write([&](int& value) {
      EXPECT_EQ(reading, 0);
      value = 1;
    });
    written = true;
  });
  const bool done = eventually([&] { return written.load(); });
  give_up = true;
  writer.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_TRUE(done);
}

// Each thread reads its own stripe: a power of two of them, from twice the
// processors, so that the first threads never share one.
TEST(StripedSharedMutex, StripesArePowerOfTwoFromTheProcessors) {
  const std::size_t stripes = StripedSharedMutex::stripe_count();
  EXPECT_EQ(stripes & (stripes - 1), 0u);
  EXPECT_GE(stripes, 2u);
  EXPECT_LE(stripes, 64u);
  const std::size_t processors = std::thread::hardware_concurrency();
  if (processors != 0) {
    EXPECT_GE(stripes, std::min<std::size_t>(2 * processors, 64));
  }
}

// Sections under the outer lock skip their guard's lock while nobody is
// counted out; counted-out threads lock, and the outer lock orders the data
// between the two kinds (a race here is what the thread sanitizer reports).
TEST(GuardedConcurrency, SectionsUnderTheOuterLockSkipTheirLock) {
  OuterLockCount::enable();
  EXPECT_TRUE(OuterLockCount::serialized());
  std::mutex outer;
  Guarded<std::pair<int, int>> guarded(0, 0);  // both halves always equal
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      // A counted-out thread's write is slow, so that sections under the
      // outer lock come while it is half done, and must wait for it.
      const auto step = [&](bool slow) {
        guarded.write([&](std::pair<int, int>& pair) {
          ++pair.first;
          if (slow) std::this_thread::sleep_for(std::chrono::microseconds(50));
          ++pair.second;
        });
        guarded.read([&](const std::pair<int, int>& pair) { torn += pair.first != pair.second; });
      };
      std::unique_lock held(outer);
      for (int round = 0; round < kRounds; ++round) {
        if (round % 8 != 0) {
          step(false);
          continue;
        }
        OuterLockCount::count_out();
        held.unlock();
        step(true);
        held.lock();
        OuterLockCount::count_in();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(torn, 0);
  std::pair<int, int> total;
  guarded.read([&](const std::pair<int, int>& pair) { total = pair; });
  EXPECT_EQ(total, std::make_pair(kThreads * kRounds, kThreads * kRounds));
  OuterLockCount::count_out();  // a thread that the fork leaves behind
  hold_all_locks_for_fork();
  reset_all_locks_in_fork_child();
  EXPECT_TRUE(OuterLockCount::serialized());
  OuterLockCount::TEST_disable();
  EXPECT_FALSE(OuterLockCount::serialized());
}

// Every way of leaving that can find sleepers wakes them: a writer's
// unlock wakes a waiting writer or reader, the last reader's a waiting
// writer. The sleeps' time limit is made far longer than the holds, so
// that a lost wake-up shows as a wait of the whole limit (a waiter that
// came too late to be woken may lose one attempt, never three).
TYPED_TEST(SharedLockConcurrency, LeavingWakesTheSleepers) {
  using Steady = std::chrono::steady_clock;
  constexpr auto kLimit = std::chrono::seconds(2);
  TEST_set_longest_lock_sleep(kLimit);
  struct Case {
    bool holder_reads;
    bool waiter_reads;
  };
  for (const Case c : {Case{false, false}, Case{false, true}, Case{true, false}}) {
    TypeParam mutex;
    bool prompt = false;
    for (int attempt = 0; attempt < 3 && !prompt; ++attempt) {
      c.holder_reads ? mutex.lock_shared() : mutex.lock();
      Steady::time_point entered;
      std::thread waiter([&] {
        c.waiter_reads ? mutex.lock_shared() : mutex.lock();
        entered = Steady::now();
        c.waiter_reads ? mutex.unlock_shared() : mutex.unlock();
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the waiter sleeps
      const Steady::time_point left = Steady::now();
      c.holder_reads ? mutex.unlock_shared() : mutex.unlock();
      waiter.join();
      prompt = entered - left < kLimit / 2;
    }
    EXPECT_TRUE(prompt) << "holder reads " << c.holder_reads << ", waiter reads " << c.waiter_reads;
  }
  TEST_set_longest_lock_sleep(kLongestLockSleep);
}

// Three writers overwrite one text in place while two readers copy it: each
// text is one letter repeated, as many times as the letter's place in the
// alphabet says, so a copy that mixes two writes, or a size from one write
// with the bytes of another, shows; and no two writes run at once.
TEST(VersionedTextConcurrency, ReadersNeverSeeAMixedText) {
  using Words = TextWords<true>;
  constexpr std::size_t kLongest = 20 + 25;
  alignas(TextWord) unsigned char storage[text_words_for(kLongest) * sizeof(TextWord)];
  Words::Word* const words = Words::construct(storage, std::string(20, 'a'));
  TextVersion<true> version;
  std::atomic<std::size_t> size{20};
  constexpr int kWriters = 3;
  std::atomic<int> writers_left{kWriters};
  std::atomic<long> mixed{0};
  std::atomic<long> copies{0};
  std::atomic<int> writing{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 100000; ++i) {
        const char letter = static_cast<char>('a' + (i * 7 + w * 13) % 26);
        const std::string text(static_cast<std::size_t>(20 + letter - 'a'), letter);
        version.write([&] {
          overlaps += ++writing != 1;
          size.store(text.size(), std::memory_order_release);
          Words::store(words, text);
          // Now and then a write is held up, as a preempted writer is.
          if (i % 64 == 0) std::this_thread::yield();
          --writing;
        });
      }
      --writers_left;
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      char copy[sizeof storage];
      do {
        const std::size_t copied = version.read([&] {
          const std::size_t n = size.load(std::memory_order_acquire);
          Words::load(words, copy, n);
          return n;
        });
        const char letter = static_cast<char>('a' + (copied - 20));
        mixed += std::count(copy, copy + copied, letter) != static_cast<long>(copied);
        ++copies;
      } while (writers_left > 0);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mixed, 0) << "of " << copies << " copies";
  EXPECT_EQ(overlaps, 0);
}

}  // namespace
}  // namespace vennu
