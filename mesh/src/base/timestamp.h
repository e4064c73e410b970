// Timestamps: the current UTC time as RFC 3339 text.
//
// The clock is injected so that tests can fix the instant, choose its
// nanosecond part, or go before 1970. Subsystems that stamp records hold a
// shared_ptr<const Clock>; the default is the system real-time clock.
//
// Thread safety: Clock implementations must be safe to call concurrently.

#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vennu {

// Seconds and nanoseconds since 1970-01-01T00:00:00Z; seconds may be
// negative for an instant before 1970, nanos is always in [0, 1e9).
struct Instant {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
};

// The system real-time clock, shared by every mesh.
std::shared_ptr<const Clock> system_clock();

// The text of an instant, held inline: records carry two of these and are
// copied on every read, so a copy must not allocate.
class Timestamp {
 public:
  // The longest text: a signed 20-digit year and nine fraction digits.
  static constexpr std::size_t kMaxSize = 51;

  Timestamp() = default;
  explicit Timestamp(std::string_view text);

  std::string_view view() const { return {text_.data(), size_}; }
  operator std::string_view() const { return view(); }
  char front() const { return text_[0]; }
  std::size_t size() const { return size_; }

  friend bool operator==(const Timestamp& a, const Timestamp& b) { return a.view() == b.view(); }
  friend bool operator==(const Timestamp& a, std::string_view b) { return a.view() == b; }
  friend Timestamp format_timestamp(Instant instant);

 private:
  std::array<char, kMaxSize> text_{};
  std::uint8_t size_ = 0;
};

// "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]+00:00": no fraction when the
// nanoseconds are 0, else 3, 6 or 9 digits, the fewest that are exact. A
// year outside 0..9999 gets an explicit sign and at least four digits.
Timestamp format_timestamp(Instant instant);

// Appends the timestamp as a JSON string; its characters never need escapes.
void append_quoted_timestamp(const Timestamp& timestamp, std::string& out);

// Reads the clock once. Throws InternalFault("system time before Unix
// epoch") when the clock reads before 1970.
Instant current_instant(const Clock& clock);
// current_instant, formatted.
Timestamp current_timestamp(const Clock& clock);

}  // namespace vennu
