// CDateTime: a point in time (or a span) counted in 100-ns ticks since 1601-01-01 00:00 UTC.
#pragma once

#include <cstdint>

#include "suite/export.h"
#include "suite/strings.h"

namespace zel {

// Members are exported one by one: a dllimport class cannot hand out its constexpr members.
class CDateTime {
  public:
    // Kinds of NewTimestamp / GetTimestamp values.
    static constexpr int kTicks = 0;         // 100-ns ticks since 1601-01-01 UTC
    static constexpr int kMicroseconds = 1;  // microseconds since 1601-01-01 UTC
    static constexpr long long kTicksPerSecond = 10000000;
    // Seconds from 1601-01-01 to 1970-01-01.
    static constexpr long long kUnixEpochSeconds = 11644473600LL;

    CDateTime() = default;

    // Unknown kinds are read as kind 0.
    ZEL_API static CDateTime NewTimestamp(long long value, int kind);
    ZEL_API static CDateTime FromUnixSeconds(long long seconds);
    // A UTC calendar time (proleptic Gregorian); fields are not range-checked, they carry over.
    ZEL_API static CDateTime FromDate(int year, int month, int day, int hour = 0, int minute = 0,
                                      int second = 0, int microsecond = 0);

    // Unknown kinds give kind 0. Kind 1 truncates towards zero.
    ZEL_API long long GetTimestamp(int kind) const;

    // Fields: %Y year, %m month, %d day of month, %H hour, %M minute, %S second, %j day of the
    // year (001-366), %(irig) "HH:MM:SS.mmm.uuu", %% a percent sign; anything else is copied.
    ZEL_API CString Format(const char* format) const;

    // The difference is a span, still counted in ticks.
    friend CDateTime operator-(const CDateTime& a, const CDateTime& b) {
        return CDateTime(a.m_ticks - b.m_ticks);
    }
    friend CDateTime operator+(const CDateTime& a, const CDateTime& b) {
        return CDateTime(a.m_ticks + b.m_ticks);
    }
    friend bool operator==(const CDateTime& a, const CDateTime& b) {
        return a.m_ticks == b.m_ticks;
    }
    friend bool operator!=(const CDateTime& a, const CDateTime& b) {
        return a.m_ticks != b.m_ticks;
    }
    friend bool operator<(const CDateTime& a, const CDateTime& b) { return a.m_ticks < b.m_ticks; }

  private:
    explicit CDateTime(long long ticks) : m_ticks(ticks) {}
    long long m_ticks = 0;
};

}  // namespace zel
