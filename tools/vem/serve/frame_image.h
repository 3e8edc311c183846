// A frame as an image for HTTP clients: PNG (16-bit, or 8-bit stretched for a browser).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vemserve {

// A frame's samples as the drive stores them: 16-bit little-endian values, one after another.
struct FrameSamples {
    const uint8_t* bytes = nullptr;
    size_t count = 0;
    uint16_t operator[](size_t i) const {
        return static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
};

// A PNG of one grey channel of `bitDepth` 8 or 16 bits. `samples` holds width x height samples
// in PNG's byte order (one byte each, or two, most significant first). The image data is stored,
// not compressed: encoding costs a copy, no library is needed on either platform, and loopback is
// where frames mostly go.
std::string encodeGrayPng(const uint8_t* samples, uint32_t width, uint32_t height, int bitDepth);

// The frame's samples in PNG's 16-bit byte order.
std::vector<uint8_t> bigEndianSamples(FrameSamples pixels);

// The raw values at percentiles `p1` and `p2` (0..100) of `pixels`, from one histogram: the value
// of rank floor(p/100 x (n-1)) in sorted order.
void percentileValues(FrameSamples pixels, double p1, double p2, uint16_t& v1, uint16_t& v2);

// Maps raw values to 0..255: round(clamp((v - lo) / (hi - lo), 0, 1) x 255). When hi <= lo the
// result is 0 below lo and 255 from lo up.
std::vector<uint8_t> stretchTo8Bits(FrameSamples pixels, uint16_t lo, uint16_t hi);

}  // namespace vemserve
