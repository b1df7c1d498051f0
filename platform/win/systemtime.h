// Calendar date and time split into fields, as the system's date code exchanges it.
#pragma once

#include <cstdint>

struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek; // 0 = Sunday
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;
