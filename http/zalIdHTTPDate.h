#pragma once
// HTTP dates (RFC 7231 7.1.1.1). Date-times are absolute instants, so "local"
// and "GMT" differ only in how they are written; an unset date is the epoch.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace zal {

using TDateTime = std::chrono::system_clock::time_point;

inline bool IsDateSet(TDateTime value) { return value != TDateTime{}; }
inline TDateTime Now() { return std::chrono::time_point_cast<TDateTime::duration>(std::chrono::system_clock::now()); }

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string DateTimeToHTTPDate(TDateTime value);
// Reads the IMF-fixdate, RFC 850 and asctime forms; nothing for anything else.
std::optional<TDateTime> HTTPDateToDateTime(std::string_view text);

}  // namespace zal
