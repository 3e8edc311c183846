// CDateTime: conversion between ticks and the calendar, and formatting.
#include "suite/datetime.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace zel {

namespace {

constexpr long long kTicksPerDay = 86400LL * CDateTime::kTicksPerSecond;
constexpr long long FloorDiv(long long a, long long b) {
    long long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

// Days since 0000-03-01 for a proleptic Gregorian date (month counts carry over).
constexpr long long DaysFromCivil(long long y, long long m, long long d) {
    y += FloorDiv(m - 1, 12);
    m = (m - 1) - FloorDiv(m - 1, 12) * 12 + 1;
    y -= m <= 2;
    const long long era = FloorDiv(y, 400);
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe;
}

// Days from the origin of the civil algorithm to 1601-01-01, where ticks start.
constexpr long long kDaysTo1601 = DaysFromCivil(1601, 1, 1);

struct Civil {
    long long year;
    int month, day, yday;
};

Civil CivilFromDays(long long z) {
    const long long era = FloorDiv(z, 146097);
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    Civil c;
    c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    c.year = yoe + era * 400 + (c.month <= 2);
    c.yday = static_cast<int>(z - DaysFromCivil(c.year, 1, 1)) + 1;
    return c;
}

}  // namespace

CDateTime CDateTime::NewTimestamp(long long value, int kind) {
    if (kind == kMicroseconds) {
        return CDateTime(value * 10);
    }
    return CDateTime(value);
}

CDateTime CDateTime::FromUnixSeconds(long long seconds) {
    return CDateTime((seconds + kUnixEpochSeconds) * kTicksPerSecond);
}

CDateTime CDateTime::FromDate(int year, int month, int day, int hour, int minute, int second,
                              int microsecond) {
    const long long days = DaysFromCivil(year, month, day) - kDaysTo1601;
    const long long seconds = ((days * 24 + hour) * 60 + minute) * 60LL + second;
    return CDateTime(seconds * kTicksPerSecond + microsecond * 10LL);
}

long long CDateTime::GetTimestamp(int kind) const {
    if (kind == kMicroseconds) {
        return m_ticks / 10;
    }
    return m_ticks;
}

CString CDateTime::Format(const char* format) const {
    const long long days = FloorDiv(m_ticks, kTicksPerDay);
    const long long inDay = m_ticks - days * kTicksPerDay;
    const Civil c = CivilFromDays(days + kDaysTo1601);
    const long long secondOfDay = inDay / kTicksPerSecond;
    const int hour = static_cast<int>(secondOfDay / 3600);
    const int minute = static_cast<int>(secondOfDay / 60 % 60);
    const int second = static_cast<int>(secondOfDay % 60);
    const long long micro = inDay % kTicksPerSecond / 10;

    std::string out;
    char buffer[64];
    for (const char* p = format ? format : ""; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char f = p[1];
        int n = -1;
        switch (f) {
            case 'Y':
                n = std::snprintf(buffer, sizeof buffer, "%04lld", c.year);
                break;
            case 'm':
                n = std::snprintf(buffer, sizeof buffer, "%02d", c.month);
                break;
            case 'd':
                n = std::snprintf(buffer, sizeof buffer, "%02d", c.day);
                break;
            case 'H':
                n = std::snprintf(buffer, sizeof buffer, "%02d", hour);
                break;
            case 'M':
                n = std::snprintf(buffer, sizeof buffer, "%02d", minute);
                break;
            case 'S':
                n = std::snprintf(buffer, sizeof buffer, "%02d", second);
                break;
            case 'j':
                n = std::snprintf(buffer, sizeof buffer, "%03d", c.yday);
                break;
            case '%':
                n = std::snprintf(buffer, sizeof buffer, "%%");
                break;
            case '(':
                if (std::strncmp(p + 1, "(irig)", 6) == 0) {
                    n = std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d.%03d", hour,
                                      minute, second, static_cast<int>(micro / 1000),
                                      static_cast<int>(micro % 1000));
                    out.append(buffer, static_cast<size_t>(n));
                    p += 6;
                    continue;
                }
                break;
            default:
                break;
        }
        if (n < 0) {
            // Not a field we know: keep the percent sign and let the next character follow.
            out += '%';
            continue;
        }
        out.append(buffer, static_cast<size_t>(n));
        ++p;
    }
    return CString(out);
}

}  // namespace zel
