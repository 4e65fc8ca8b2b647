#include "patronlink/dates.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "patronlink.h"

namespace kk::patronlink {
namespace {

using namespace std::chrono;

int32_t date_number_of(year_month_day d) {
  return static_cast<int>(d.year()) * 10000 + static_cast<int>(static_cast<unsigned>(d.month())) * 100 +
         static_cast<int>(static_cast<unsigned>(d.day()));
}

// Runs a test body in a fixed time zone and restores the previous one.
class InZone {
 public:
  explicit InZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~InZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// Noon local time of `day` in a zone `offset_hours` east of UTC with no
// daylight saving, and the calendar date 4000 days later counted by the
// calendar itself, not by seconds.
TEST(PatronDates, EndDateIsTheCalendarDate4000DaysAfterNoon) {
  const InZone zone("CST-8");  // UTC+8 all year
  const year_month_day starts[] = {
      2026y / January / 1,    // the year's first day: month and day are 1-based
      2012y / December / 31,  //
      2024y / February / 29,  // starts on a leap day
      2023y / March / 1,      // spans the leap days of 2024, 2028, 2032 and 2036
      2096y / June / 15,      // spans 2100, which has no leap day
      1999y / December / 31,  //
  };
  for (const auto start : starts) {
    const sys_seconds noon = sys_days(start) + hours(12) - hours(8);
    const int64_t unix_s = noon.time_since_epoch().count();
    EXPECT_EQ(local_date_at(unix_s), date_number_of(start));
    const year_month_day end{sys_days(start) + days(4000)};
    EXPECT_EQ(local_date_at(unix_s + kEndDateOffsetSeconds), date_number_of(end))
        << "from " << date_number_of(start);
  }
  const sys_seconds new_year = sys_days(2026y / January / 1) - hours(8);  // local midnight
  EXPECT_EQ(local_date_at(new_year.time_since_epoch().count()), 20260101);
  EXPECT_EQ(local_date_at(new_year.time_since_epoch().count() - 1), 20251231);
}

TEST(PatronDates, LocalCalendarNotUtc) {
  // 2026-01-01 02:00 in UTC+8 is still 2025-12-31 in UTC.
  const sys_seconds utc_evening = sys_days(2025y / December / 31) + hours(18);
  const int64_t instant = utc_evening.time_since_epoch().count();
  {
    const InZone zone("CST-8");
    EXPECT_EQ(local_date_at(instant), 20260101);
  }
  {
    const InZone zone("UTC0");
    EXPECT_EQ(local_date_at(instant), 20251231);
  }
}

// The exports against the C library's own reading of the clock; a day
// boundary passed during the test is allowed for.
TEST(PatronDates, ExportsGiveTodayAndTheEndDate) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const time_t before = time(nullptr);
    const int32_t now = GetNowDate();
    const int32_t end = GetEndDate();
    const time_t after = time(nullptr);
    tm a{};
    tm b{};
    localtime_r(&before, &a);
    localtime_r(&after, &b);
    if (a.tm_yday != b.tm_yday) continue;
    EXPECT_EQ(now, (a.tm_year + 1900) * 10000 + (a.tm_mon + 1) * 100 + a.tm_mday);
    EXPECT_EQ(end, local_date_at(static_cast<int64_t>(before) + kEndDateOffsetSeconds));
    return;
  }
  FAIL() << "the date kept changing";
}

}  // namespace
}  // namespace kk::patronlink
