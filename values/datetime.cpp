// Date-times as OLE automation dates: days since 1899-12-30, the fraction the time of day.
// The calendar arithmetic is <chrono>'s.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "values/values.h"

namespace tessaro {

namespace {

using namespace std::chrono;

constexpr sys_days kEpoch = sys_days{year{1899} / December / 30};

struct Fields {
  year_month_day date;
  std::int32_t hour, minute, second;
  weekday wd;
};

Fields Split(DateTimeValue dt) {
  const double d = ClampDateTime(dt.days);
  // The whole days count from the epoch; for negative dates the fraction still runs forward
  // from midnight (the automation date's sign-magnitude form): -1.25 is 1899-12-29 06:00.
  double whole = std::trunc(d);
  double fraction = std::fabs(d - whole);
  auto seconds = static_cast<std::int64_t>(std::llround(fraction * 86400.0));
  if (seconds >= 86400) {  // rounding reached the next midnight
    seconds -= 86400;
    whole += d < 0 ? -1 : 1;
  }
  const sys_days day = kEpoch + days{static_cast<std::int64_t>(whole)};
  return {year_month_day{day}, static_cast<std::int32_t>(seconds / 3600),
          static_cast<std::int32_t>(seconds / 60 % 60), static_cast<std::int32_t>(seconds % 60),
          weekday{day}};
}

}  // namespace

DateTimeValue MakeDateTime(std::int32_t y, std::int32_t m, std::int32_t d, std::int32_t hh,
                           std::int32_t mm, std::int32_t ss) {
  y = std::clamp(y, 100, 9999);
  m = std::clamp(m, 1, 12);
  const year_month ym{year{y}, month{static_cast<unsigned>(m)}};
  const auto lastDay = static_cast<std::int32_t>(unsigned{(ym / std::chrono::last).day()});
  d = std::clamp(d, 1, 31);
  d = std::min(d, lastDay);
  hh = std::clamp(hh, 0, 23);
  mm = std::clamp(mm, 0, 59);
  ss = std::clamp(ss, 0, 59);
  const sys_days day{ym / std::chrono::day{static_cast<unsigned>(d)}};
  const double whole = static_cast<double>((day - kEpoch).count());
  const double fraction = (hh * 3600.0 + mm * 60.0 + ss) / 86400.0;
  // Before the epoch the fraction is added away from zero (sign-magnitude form).
  return {whole < 0 ? whole - fraction : whole + fraction};
}

std::int32_t YearOf(DateTimeValue dt) { return static_cast<int>(Split(dt).date.year()); }
std::int32_t MonthOf(DateTimeValue dt) {
  return static_cast<std::int32_t>(unsigned{Split(dt).date.month()});
}
std::int32_t DayOf(DateTimeValue dt) {
  return static_cast<std::int32_t>(unsigned{Split(dt).date.day()});
}
std::int32_t HourOf(DateTimeValue dt) { return Split(dt).hour; }
std::int32_t MinuteOf(DateTimeValue dt) { return Split(dt).minute; }
std::int32_t SecondOf(DateTimeValue dt) { return Split(dt).second; }
std::int32_t DayOfWeekOf(DateTimeValue dt) {
  return static_cast<std::int32_t>(Split(dt).wd.c_encoding()) + 1;
}

double ClampDateTime(double d) { return std::clamp(d, kMinDateTime, kMaxDateTime); }

}  // namespace tessaro
