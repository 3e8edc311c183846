// Sizes as ls -h writes them.
#include "human_size.h"

#include <cmath>
#include <cstdio>

namespace vemcli {

std::string humanSize(uint64_t bytes) {
    static const char kUnits[] = "KMGTPE";
    if (bytes < 1024) {
        return std::to_string(bytes);
    }
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    // One decimal below 10, as ls -h does; rounding up so a size never reads smaller than it is.
    char text[32];
    double tenths = std::ceil(value * 10) / 10;
    if (tenths < 10) {
        std::snprintf(text, sizeof text, "%.1f%c", tenths, kUnits[unit]);
    } else if (std::ceil(value) < 1024 || unit == 5) {
        std::snprintf(text, sizeof text, "%.0f%c", std::ceil(value), kUnits[unit]);
    } else {
        std::snprintf(text, sizeof text, "1.0%c", kUnits[unit + 1]);
    }
    return text;
}

}  // namespace vemcli
