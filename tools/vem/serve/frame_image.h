// A frame as an image for HTTP clients: PNG (16-bit, or 8-bit stretched for a browser).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vemserve {

// A PNG of one grey channel. `samples` holds width x height values of `bitDepth` 8 or 16 bits
// (16-bit values in host order). The image data is stored, not compressed: encoding costs a
// copy, no library is needed on either platform, and loopback is where frames mostly go.
std::string encodeGrayPng(const std::vector<uint16_t>& samples, uint32_t width, uint32_t height,
                          int bitDepth);

// The raw value at percentile `p` (0..100) of `pixels`: the value of rank floor(p/100 x (n-1))
// in sorted order.
uint16_t percentileValue(const std::vector<uint16_t>& pixels, double p);
// Two percentiles at once from one histogram.
void percentileValues(const std::vector<uint16_t>& pixels, double p1, double p2, uint16_t& v1,
                      uint16_t& v2);

// Maps raw values to 0..255: round(clamp((v - lo) / (hi - lo), 0, 1) x 255). When hi <= lo the
// result is 0 below lo and 255 from lo up.
std::vector<uint16_t> stretchTo8Bits(const std::vector<uint16_t>& pixels, uint16_t lo, uint16_t hi);

}  // namespace vemserve
