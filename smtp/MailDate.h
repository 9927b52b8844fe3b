#pragma once
// The Date field's text (RFC 5322, 3.3): "Tue, 8 Dec 2026 23:40:44 +0100",
// the local time with the zone's offset from UTC, so readers see both the
// sender's clock and the moment.

#include <ctime>
#include <string>

namespace pw {

// The date text of a local broken-down time whose zone lies
// `gmtOffsetSeconds` east of UTC (as localtime_r reports in tm_gmtoff): day
// name, comma, day of the month, month name, four-digit year, two-digit hour,
// minute and second, and the offset as "+hhmm" or "-hhmm".
std::string MailDateText(const std::tm& local, long gmtOffsetSeconds);

// The date text of the current moment in the local zone; UTC ("+0000") when
// the local time cannot be had.
std::string CurrentMailDateText();

}  // namespace pw
