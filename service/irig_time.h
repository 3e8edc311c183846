// The drive's packed IRIG time stamps: decoding, text form and microsecond totals.
#pragma once

#include <cstdint>
#include <string>

namespace zel::vem {

struct SIrigTime {
    uint32_t day;  // of the year, 9 bits
    uint32_t hour;
    uint32_t minute;
    uint32_t second;
    uint16_t millisecond;
    uint32_t microsecond;
};

// Bits 0-15 and 16-31 form T (the first word is the high half), bits 32-47 and 48-63 form U.
// T packs day, hour, minute and second; U counts microseconds within the second. Nothing is
// range-checked: whatever the drive packed comes back out.
SIrigTime DecodeIrigTime(uint64_t packed);
// The inverse, for the simulated service and tests.
uint64_t EncodeIrigTime(const SIrigTime& time);
// "DDD:HH:MM:SS.mmmuuu"
std::string FormatIrigTime(const SIrigTime& time);
uint64_t IrigMicroseconds(const SIrigTime& time);

}  // namespace zel::vem
