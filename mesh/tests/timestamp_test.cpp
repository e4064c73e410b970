#include "base/timestamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "base/error.h"
#include "test_clock.h"

namespace vennu {
namespace {

TEST(TimestampFormat, CivilDateAndFraction) {
  struct Case {
    Instant instant;
    const char* text;
  };
  const Case cases[] = {
      {{0, 0}, "1970-01-01T00:00:00+00:00"},
      {kTestInstant, kTestInstantText},
      {{1796592483, 120000000}, "2026-12-06T21:28:03.120+00:00"},
      {{1796592483, 1000000}, "2026-12-06T21:28:03.001+00:00"},
      {{1796592483, 123456000}, "2026-12-06T21:28:03.123456+00:00"},
      {{1796592483, 1000}, "2026-12-06T21:28:03.000001+00:00"},
      {{1796592483, 100000}, "2026-12-06T21:28:03.000100+00:00"},
      {{1796592483, 1}, "2026-12-06T21:28:03.000000001+00:00"},
      {{1796592483, 999999999}, "2026-12-06T21:28:03.999999999+00:00"},
      {{1709208000, 0}, "2024-02-29T12:00:00+00:00"},
      {{951868800, 0}, "2000-03-01T00:00:00+00:00"},
      {{-1, 0}, "1969-12-31T23:59:59+00:00"},
      {{-2203891200, 0}, "1900-03-01T00:00:00+00:00"},
      {{253402300799, 0}, "9999-12-31T23:59:59+00:00"},
      {{253402300800, 0}, "+10000-01-01T00:00:00+00:00"},
      {{-62167219200, 0}, "0000-01-01T00:00:00+00:00"},
      {{-62198755200, 0}, "-0001-01-01T00:00:00+00:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_timestamp(c.instant), c.text) << c.instant.seconds << "." << c.instant.nanos;
  }
}

TEST(TimestampFormat, ExtremeSecondsKeepASign) {
  EXPECT_EQ(format_timestamp({INT64_MAX, 0}).front(), '+');
  EXPECT_EQ(format_timestamp({INT64_MIN, 0}).front(), '-');
}

TEST(TimestampCurrent, SystemClockReadsNow) {
  const std::string now(current_timestamp(*system_clock()).view());
  std::string shape = now;
  std::replace_if(
      shape.begin(), shape.end(), [](char c) { return c >= '0' && c <= '9'; }, '9');
  const std::string date_time = "9999-99-99T99:99:99";
  EXPECT_TRUE(shape == date_time + "+99:99" || shape == date_time + ".999+99:99" ||
              shape == date_time + ".999999+99:99" || shape == date_time + ".999999999+99:99")
      << now;
  EXPECT_TRUE(now.ends_with("+00:00")) << now;
  EXPECT_GE(now, "2024");
  EXPECT_EQ(system_clock(), system_clock());
}

// Nanoseconds on Linux and 100 ns on Windows, whatever the C++ library:
// libc++'s std::chrono::system_clock would give whole microseconds.
TEST(TimestampCurrent, SystemClockIsFinerThanMicroseconds) {
#if defined(__APPLE__)
  GTEST_SKIP() << "the real-time clock of macOS counts microseconds";
#endif
  bool finer = false;
  for (int i = 0; i < 50 && !finer; ++i) finer = current_instant(*system_clock()).nanos % 1000 != 0;
  EXPECT_TRUE(finer);
}

TEST(TimestampCurrent, BeforeEpochIsAnInternalFault) {
  TestClock clock(kBeforeEpoch);
  try {
    current_timestamp(clock);
    FAIL() << "no fault";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "system time before Unix epoch");
  }
  clock.set({0, 0});
  EXPECT_EQ(current_timestamp(clock), "1970-01-01T00:00:00+00:00");
}

// Each thread keeps its own last second: threads that format instants of
// different seconds at once each get their own text. They run until each
// has seen the other make progress between two of its calls many times.
TEST(FormatTimestampConcurrency, ThreadsFormattingOtherSecondsGetTheirOwnText) {
  constexpr int kThreads = 2;
  constexpr int kOverlappingCalls = 20000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::atomic<std::uint64_t> calls[kThreads] = {};
  std::atomic<int> wrong{0};
  std::atomic<int> satisfied{0};  // threads that saw enough overlapping calls
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Two seconds of this thread's own year, so that it rewrites its
      // second on every call.
      const Instant instants[] = {{951868800 + t * 400000000, 5000000},
                                  {951868801 + t * 400000000, 5000000}};
      const Timestamp texts[] = {format_timestamp(instants[0]), format_timestamp(instants[1])};
      std::atomic<std::uint64_t>& other = calls[(t + 1) % kThreads];
      std::uint64_t seen = other.load(std::memory_order_relaxed);
      int overlapping = 0;
      // Each goes on until both are satisfied, so that the other's calls
      // keep overlapping its own.
      for (std::uint64_t i = 0; satisfied < kThreads; ++i) {
        if (format_timestamp(instants[i % 2]) != texts[i % 2]) ++wrong;
        calls[t].store(i, std::memory_order_relaxed);
        const std::uint64_t now = other.load(std::memory_order_relaxed);
        if (now != seen && ++overlapping == kOverlappingCalls) ++satisfied;
        seen = now;
        if (i % 4096 == 0 && std::chrono::steady_clock::now() > deadline) break;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace vennu
