// A clock for tests: it reads whatever instant the test last set, so records
// carry known timestamps and a time before 1970 can be provoked.

#pragma once

#include <mutex>

#include "base/timestamp.h"

namespace vennu {

// 2026-12-06T21:28:03.123456789+00:00
inline constexpr Instant kTestInstant{1796592483, 123456789};
inline constexpr char kTestInstantText[] = "2026-12-06T21:28:03.123456789+00:00";
inline constexpr Instant kBeforeEpoch{-1, 999999999};

class TestClock final : public Clock {
 public:
  explicit TestClock(Instant start = kTestInstant) : instant_(start) {}

  Instant now() const override {
    std::lock_guard lock(mutex_);
    return instant_;
  }

  void set(Instant instant) {
    std::lock_guard lock(mutex_);
    instant_ = instant;
  }

 private:
  mutable std::mutex mutex_;
  Instant instant_;
};

}  // namespace vennu
