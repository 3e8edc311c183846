// Time conversions of the simulated drive.
#include "tools/vemsim/sim_time.h"

namespace zel::vem::sim {

namespace {

bool isLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

SIrigTime irigTimeFromTicks(int64_t ticks) {
    if (ticks < 0) {
        ticks = 0;
    }
    // 1601 opens a 400-year cycle of the Gregorian calendar, so the day within the cycle is
    // enough to find the day within the year.
    int64_t days = (ticks / kTicksPerDay) % 146097;
    int64_t year = 1601;
    for (;;) {
        const int64_t length = isLeapYear(year) ? 366 : 365;
        if (days < length) {
            break;
        }
        days -= length;
        ++year;
    }
    const int64_t inDay = ticks % kTicksPerDay;
    const int64_t seconds = inDay / kTicksPerSecond;
    const int64_t micros = (inDay % kTicksPerSecond) / 10;
    SIrigTime time;
    time.day = static_cast<uint32_t>(days + 1);
    time.hour = static_cast<uint32_t>(seconds / 3600);
    time.minute = static_cast<uint32_t>(seconds / 60 % 60);
    time.second = static_cast<uint32_t>(seconds % 60);
    time.millisecond = static_cast<uint16_t>(micros / 1000);
    time.microsecond = static_cast<uint32_t>(micros % 1000);
    return time;
}

uint64_t irigFromTicks(int64_t ticks) {
    return EncodeIrigTime(irigTimeFromTicks(ticks));
}

uint32_t unixSecondsFromTicks(int64_t ticks) {
    if (ticks < kUnixEpochTicks) {
        return 0;
    }
    const int64_t seconds = (ticks - kUnixEpochTicks) / kTicksPerSecond;
    return seconds > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

}  // namespace zel::vem::sim
