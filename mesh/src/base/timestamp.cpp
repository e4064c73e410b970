#include "base/timestamp.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>

#include "base/error.h"

#if defined(_WIN32)
#include "base/windows_api.h"
#endif

namespace vennu {
namespace {

// The instant a count of ticks (per_second of them to a second, which
// divides 1e9) after the epoch: floored, so an instant before 1970 keeps its
// nanoseconds in [0, 1e9) and is still seen as before the epoch.
Instant instant_from_ticks(std::int64_t ticks, std::int64_t per_second) {
  std::int64_t seconds = ticks / per_second;
  std::int64_t rest = ticks % per_second;
  if (rest < 0) {
    rest += per_second;
    --seconds;
  }
  return Instant{seconds, static_cast<std::uint32_t>(rest * (1000000000 / per_second))};
}

// Read from the C library or the system rather than through
// std::chrono::system_clock, whose period is the C++ library's choice:
// libc++ counts microseconds, and its builds would lose the last three
// digits of every stamp.
class SystemClock final : public Clock {
 public:
  Instant now() const override {
#if defined(_WIN32)
    // 100 ns ticks since 1601-01-01.
    FILETIME time;
    GetSystemTimePreciseAsFileTime(&time);
    constexpr std::uint64_t kTicksBefore1970 = 116444736000000000;
    const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    return instant_from_ticks(static_cast<std::int64_t>(ticks - kTicksBefore1970), 10000000);
#else
#if defined(TIME_UTC)
    // A timespec is normalized: tv_nsec in [0, 1e9), tv_sec floored.
    std::timespec time;
    if (std::timespec_get(&time, TIME_UTC) == TIME_UTC) {
      return Instant{static_cast<std::int64_t>(time.tv_sec),
                     static_cast<std::uint32_t>(time.tv_nsec)};
    }
#endif
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return instant_from_ticks(static_cast<std::int64_t>(since_epoch.count()), 1000000000);
#endif
  }
};

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count since 1970-01-01, by eras of 400
// years (146097 days), which repeat exactly; no table, no time zone.
CivilDate civil_from_days(std::int64_t days) {
  const std::int64_t shifted = days + 719468;  // days since 0000-03-01
  const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(shifted - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned month_from_march = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
  const unsigned month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  const std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2);
  return CivilDate{year, month, day};
}

// Writes value as at least `width` decimal digits; returns the end.
char* put_padded(char* out, std::uint64_t value, int width) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int pad = count; pad < width; ++pad) *out++ = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* put_year(char* out, std::int64_t year) {
  if (year >= 0 && year <= 9999) return put_padded(out, static_cast<std::uint64_t>(year), 4);
  *out++ = year < 0 ? '-' : '+';
  // Negating through unsigned keeps the most negative value exact.
  const std::uint64_t magnitude =
      year < 0 ? ~static_cast<std::uint64_t>(year) + 1 : static_cast<std::uint64_t>(year);
  return put_padded(out, magnitude, 4);
}

// "YYYY-MM-DDTHH:MM:SS" for whole seconds since 1970.
char* put_date_time(char* out, std::int64_t seconds_since_epoch) {
  constexpr std::int64_t kSecondsPerDay = 86400;
  std::int64_t days = seconds_since_epoch / kSecondsPerDay;
  std::int64_t second_of_day = seconds_since_epoch % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  const auto seconds = static_cast<std::uint64_t>(second_of_day);
  out = put_year(out, date.year);
  *out++ = '-';
  out = put_padded(out, date.month, 2);
  *out++ = '-';
  out = put_padded(out, date.day, 2);
  *out++ = 'T';
  out = put_padded(out, seconds / 3600, 2);
  *out++ = ':';
  out = put_padded(out, seconds / 60 % 60, 2);
  *out++ = ':';
  return put_padded(out, seconds % 60, 2);
}

// The date and time of the last second formatted on this thread: stamps
// come many to a second, and then only the fraction changes.
struct SecondCache {
  bool valid = false;
  std::int64_t seconds = 0;
  std::size_t size = 0;
  char text[Timestamp::kMaxSize];
};

}  // namespace

std::shared_ptr<const Clock> system_clock() {
  // Never destroyed: a daemon thread may still read the clock while the
  // process exits, after static destructors have run.
  static const auto* const instance =
      new std::shared_ptr<const Clock>(std::make_shared<SystemClock>());
  return *instance;
}

Timestamp::Timestamp(std::string_view text) {
  size_ = static_cast<std::uint8_t>(std::min(text.size(), kMaxSize));
  std::memcpy(text_.data(), text.data(), size_);
}

namespace {

// "00" to "99": the fraction is written on every call, two digits a step.
constexpr std::array<char, 200> make_digit_pairs() {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}
constexpr std::array<char, 200> kDigitPairs = make_digit_pairs();

// Exactly width digits of value (which has no more), written from the last:
// no reversal and no padding pass.
char* put_fraction_digits(char* out, std::uint32_t value, int width) {
  int i = width;
  for (; i >= 2; i -= 2) {
    std::memcpy(out + i - 2, &kDigitPairs[2 * (value % 100)], 2);
    value /= 100;
  }
  if (i == 1) out[0] = static_cast<char>('0' + value);
  return out + width;
}

}  // namespace

Timestamp format_timestamp(Instant instant) {
  thread_local SecondCache cache;
  if (!cache.valid || cache.seconds != instant.seconds) {
    cache.size = static_cast<std::size_t>(put_date_time(cache.text, instant.seconds) - cache.text);
    cache.seconds = instant.seconds;
    cache.valid = true;
  }
  // Written where the caller keeps it (the one return lets the compiler
  // build it there): text put together from pieces elsewhere and then
  // copied would be read back with wide loads right after its narrow
  // stores, which the processor cannot forward, and the copy would wait.
  Timestamp stamp;
  char* const text = stamp.text_.data();
  // Copied whole: a copy of fixed size is a few moves, not a call.
  std::memcpy(text, cache.text, sizeof cache.text);
  char* out = text + cache.size;
  const std::uint32_t nanos = instant.nanos;
  if (nanos != 0) {
    *out++ = '.';
    if (nanos % 1000000 == 0) {
      out = put_fraction_digits(out, nanos / 1000000, 3);
    } else if (nanos % 1000 == 0) {
      out = put_fraction_digits(out, nanos / 1000, 6);
    } else {
      out = put_fraction_digits(out, nanos, 9);
    }
  }
  std::memcpy(out, "+00:00", 6);
  out += 6;
  stamp.size_ = static_cast<std::uint8_t>(out - text);
  return stamp;
}

void append_quoted_timestamp(const Timestamp& timestamp, std::string& out) {
  // One append instead of three: records write two of these per call.
  char quoted[Timestamp::kMaxSize + 2];
  const std::string_view text = timestamp.view();
  quoted[0] = '"';
  std::memcpy(quoted + 1, text.data(), text.size());
  quoted[text.size() + 1] = '"';
  out.append(quoted, text.size() + 2);
}

Instant current_instant(const Clock& clock) {
  const Instant now = clock.now();
  if (now.seconds < 0) throw InternalFault("system time before Unix epoch");
  return now;
}

Timestamp current_timestamp(const Clock& clock) { return format_timestamp(current_instant(clock)); }

}  // namespace vennu
