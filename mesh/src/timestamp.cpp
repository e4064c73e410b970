#include "timestamp.h"

#include <time.h>

#include "error.h"

namespace vennu {
namespace {

class SystemClock final : public Clock {
 public:
  Instant now() const override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return Instant{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
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

void append_padded(std::uint64_t value, int width, std::string& out) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int pad = count; pad < width; ++pad) out.push_back('0');
  while (count > 0) out.push_back(digits[--count]);
}

void append_year(std::int64_t year, std::string& out) {
  if (year >= 0 && year <= 9999) {
    append_padded(static_cast<std::uint64_t>(year), 4, out);
    return;
  }
  out.push_back(year < 0 ? '-' : '+');
  // Negating through unsigned keeps the most negative value exact.
  const std::uint64_t magnitude =
      year < 0 ? ~static_cast<std::uint64_t>(year) + 1 : static_cast<std::uint64_t>(year);
  append_padded(magnitude, 4, out);
}

}  // namespace

std::shared_ptr<const Clock> system_clock() {
  static const std::shared_ptr<const Clock> instance = std::make_shared<SystemClock>();
  return instance;
}

std::string format_timestamp(Instant instant) {
  constexpr std::int64_t kSecondsPerDay = 86400;
  std::int64_t days = instant.seconds / kSecondsPerDay;
  std::int64_t second_of_day = instant.seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  const auto seconds = static_cast<std::uint64_t>(second_of_day);

  std::string out;
  out.reserve(36);
  append_year(date.year, out);
  out.push_back('-');
  append_padded(date.month, 2, out);
  out.push_back('-');
  append_padded(date.day, 2, out);
  out.push_back('T');
  append_padded(seconds / 3600, 2, out);
  out.push_back(':');
  append_padded(seconds / 60 % 60, 2, out);
  out.push_back(':');
  append_padded(seconds % 60, 2, out);

  const std::uint32_t nanos = instant.nanos;
  if (nanos != 0) {
    out.push_back('.');
    if (nanos % 1000000 == 0) {
      append_padded(nanos / 1000000, 3, out);
    } else if (nanos % 1000 == 0) {
      append_padded(nanos / 1000, 6, out);
    } else {
      append_padded(nanos, 9, out);
    }
  }
  out += "+00:00";
  return out;
}

std::string current_timestamp(const Clock& clock) {
  const Instant now = clock.now();
  if (now.seconds < 0) throw InternalFault("system time before Unix epoch");
  return format_timestamp(now);
}

}  // namespace vennu
