#include "http/zalIdHTTPDate.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "support/zalHelpers.h"

namespace zal {

namespace {

constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int MonthIndex(std::string_view name) {
  for (size_t i = 0; i < kMonths.size(); ++i)
    if (TextIsSame(name, kMonths[i]))
      return static_cast<int>(i);
  return -1;
}

bool ValidTime(const std::tm& t) {
  return t.tm_mon >= 0 && t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_hour >= 0 && t.tm_hour <= 23 &&
         t.tm_min >= 0 && t.tm_min <= 59 && t.tm_sec >= 0 && t.tm_sec <= 60;
}

}  // namespace

std::string DateTimeToHTTPDate(TDateTime value) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(value);
  std::tm t{};
  gmtime_r(&seconds, &t);
  char text[40];
  std::snprintf(text, sizeof(text), "%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT", kDays[static_cast<size_t>(t.tm_wday)],
                t.tm_mday, kMonths[static_cast<size_t>(t.tm_mon)], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::optional<TDateTime> HTTPDateToDateTime(std::string_view text) {
  const std::string value(Trim(text));
  if (value.empty())  // the usual case of an absent header: no parsing at all
    return std::nullopt;
  std::tm t{};
  char month[4] = {};
  char day[10] = {};
  int consumed = 0;
  // IMF-fixdate: Sun, 06 Nov 1994 08:49:37 GMT
  if (std::sscanf(value.c_str(), "%3s, %d %3s %d %d:%d:%d GMT%n", day, &t.tm_mday, month, &t.tm_year, &t.tm_hour,
                  &t.tm_min, &t.tm_sec, &consumed) == 7 && consumed > 0) {
  // RFC 850: Sunday, 06-Nov-94 08:49:37 GMT
  } else if (std::sscanf(value.c_str(), "%9[A-Za-z], %d-%3s-%d %d:%d:%d GMT%n", day, &t.tm_mday, month, &t.tm_year,
                         &t.tm_hour, &t.tm_min, &t.tm_sec, &consumed) == 7 && consumed > 0) {
    if (t.tm_year < 100)
      t.tm_year += t.tm_year < 70 ? 2000 : 1900;
  // asctime: Sun Nov  6 08:49:37 1994
  } else if (std::sscanf(value.c_str(), "%3s %3s %d %d:%d:%d %d%n", day, month, &t.tm_mday, &t.tm_hour, &t.tm_min,
                         &t.tm_sec, &t.tm_year, &consumed) == 7 && consumed > 0) {
  } else {
    return std::nullopt;
  }
  if (static_cast<size_t>(consumed) != value.size())
    return std::nullopt;
  t.tm_mon = MonthIndex(month);
  t.tm_year -= 1900;
  if (!ValidTime(t))
    return std::nullopt;
  return std::chrono::system_clock::from_time_t(timegm(&t));
}

}  // namespace zal
