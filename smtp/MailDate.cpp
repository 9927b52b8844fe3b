#include "smtp/MailDate.h"

#include <cstdio>
#include <cstdlib>

namespace pw {

namespace {

const char* const DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string MailDateText(const std::tm& local, long gmtOffsetSeconds)
{
    // The day of the week from the date itself, whatever tm_wday holds.
    std::tm fields = local;
    const std::time_t asUtc = timegm(&fields);
    std::tm norm{};
    gmtime_r(&asUtc, &norm);
    const long minutes = std::labs(gmtOffsetSeconds) / 60;
    char text[80];
    std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", DayNames[norm.tm_wday % 7],
                  norm.tm_mday, MonthNames[norm.tm_mon % 12], norm.tm_year + 1900, norm.tm_hour, norm.tm_min,
                  norm.tm_sec, gmtOffsetSeconds < 0 ? '-' : '+', minutes / 60 % 100, minutes % 60);
    return text;
}

std::string CurrentMailDateText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr)
        return MailDateText(local, local.tm_gmtoff);
    std::tm utc{};
    gmtime_r(&now, &utc);
    return MailDateText(utc, 0);
}

}  // namespace pw
