// The drive's packed IRIG time stamps.
#include "service/irig_time.h"

#include <cstdio>

namespace zel::vem {

SIrigTime DecodeIrigTime(uint64_t packed) {
    uint32_t w0 = static_cast<uint32_t>(packed & 0xFFFF);
    uint32_t w1 = static_cast<uint32_t>((packed >> 16) & 0xFFFF);
    uint32_t w2 = static_cast<uint32_t>((packed >> 32) & 0xFFFF);
    uint32_t w3 = static_cast<uint32_t>((packed >> 48) & 0xFFFF);
    uint32_t t = (w0 << 16) | w1;
    uint32_t u = (w2 << 16) | w3;
    SIrigTime time;
    time.day = (t >> 18) & 0x1FF;
    time.hour = (t >> 12) & 0x3F;
    time.minute = (t >> 6) & 0x3F;
    time.second = t & 0x3F;
    time.millisecond = static_cast<uint16_t>(u / 1000);
    time.microsecond = u % 1000;
    return time;
}

uint64_t EncodeIrigTime(const SIrigTime& time) {
    uint32_t t = ((time.day & 0x1FF) << 18) | ((time.hour & 0x3F) << 12) |
                 ((time.minute & 0x3F) << 6) | (time.second & 0x3F);
    uint32_t u = uint32_t{time.millisecond} * 1000 + time.microsecond;
    return uint64_t{t >> 16} | (uint64_t{t & 0xFFFF} << 16) | (uint64_t{u >> 16} << 32) |
           (uint64_t{u & 0xFFFF} << 48);
}

std::string FormatIrigTime(const SIrigTime& time) {
    char text[64];
    std::snprintf(text, sizeof text, "%03d:%02d:%02d:%02d.%03d%03d", static_cast<int>(time.day),
                  static_cast<int>(time.hour), static_cast<int>(time.minute),
                  static_cast<int>(time.second), static_cast<int>(time.millisecond),
                  static_cast<int>(time.microsecond));
    return text;
}

uint64_t IrigMicroseconds(const SIrigTime& time) {
    uint64_t total = uint64_t{time.day} * 24 + time.hour;
    total = (total * 60 + time.minute) * 60 + time.second;
    return (total * 1000 + time.millisecond) * 1000 + time.microsecond;
}

}  // namespace zel::vem
