// Time conversions of the simulated drive: CDateTime ticks to packed IRIG stamps and Unix seconds.
#pragma once

#include <cstdint>

#include "service/irig_time.h"

namespace zel::vem::sim {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;
// 1970-01-01 00:00 UTC in ticks since 1601-01-01 00:00 UTC.
constexpr int64_t kUnixEpochTicks = 11644473600LL * kTicksPerSecond;

// The UTC time of day of `ticks` as the drive stamps frames: day of the year (1 for
// January 1st), hour, minute, second, millisecond and microsecond. Negative ticks count as 0.
SIrigTime irigTimeFromTicks(int64_t ticks);
// The same, packed as the drive sends it ("startTime", "endTime").
uint64_t irigFromTicks(int64_t ticks);
// Whole seconds since 1970-01-01 UTC (rounded down), clamped to 0..0xFFFFFFFF ("rtcTime").
uint32_t unixSecondsFromTicks(int64_t ticks);

}  // namespace zel::vem::sim
