#include "patronlink/dates.h"

namespace kk::patronlink {

int32_t date_number(const platform::LocalTime& t) { return t.year * 10000 + t.month * 100 + t.day; }

int32_t local_date_at(int64_t unix_s) { return date_number(platform::local_time_at(unix_s)); }

int32_t now_date() { return local_date_at(platform::unix_time_s()); }

int32_t end_date() { return local_date_at(platform::unix_time_s() + kEndDateOffsetSeconds); }

}  // namespace kk::patronlink
