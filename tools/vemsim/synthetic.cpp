// Synthetic movies: the pixel function, frame rendering and frame times.
#include "tools/vemsim/synthetic.h"

#include <algorithm>

#include "suite/datetime.h"

namespace zel::vem::sim {

uint16_t syntheticPixel(uint64_t n, uint64_t f, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    // Each term is reduced by its modulus first, so no product can overflow for any n or f.
    const uint64_t side = std::max<uint32_t>(1, std::min(w, h) / 8);
    const uint64_t sx = (3 * (f % w)) % w;
    const uint64_t sy = (2 * (f % h)) % h;
    const bool inside = (x + w - sx) % w < side && (y + h - sy) % h < side;
    const uint64_t high = inside ? 255 : (uint64_t{x} + y + 4 * (f % 64) + 16 * (n % 16)) % 256;
    const uint64_t low =
        (7 * uint64_t{x} + 13 * uint64_t{y} + 5 * (f % 251) + 31 * (n % 251)) % 251;
    return static_cast<uint16_t>(high * 256 + low);
}

void renderSyntheticFrame(uint64_t n, uint64_t f, uint32_t w, uint32_t h, uint8_t* out) {
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const uint16_t value = syntheticPixel(n, f, x, y, w, h);
            *out++ = static_cast<uint8_t>(value & 0xFF);
            *out++ = static_cast<uint8_t>(value >> 8);
        }
    }
}

int64_t syntheticRecordingTime(uint64_t n) {
    const int64_t base = CDateTime::FromDate(2024, 2, 14, 9, 30, 0, 250000).GetTimestamp(0);
    return base + static_cast<int64_t>(n % 100000) * 3600 * CDateTime::kTicksPerSecond;
}

int64_t syntheticFrameTime(uint64_t n, uint64_t f) {
    return syntheticRecordingTime(n) + static_cast<int64_t>(f) * kSyntheticFrameTicks;
}

zel::file::SInfoBlock syntheticInfoBlock(uint64_t n, uint32_t w, uint32_t h, uint64_t frames) {
    zel::file::SInfoBlock block;
    block.width = w;
    block.height = h;
    block.recordingTime = syntheticRecordingTime(n);
    block.frameTimes.resize(static_cast<size_t>(frames));
    for (uint64_t f = 0; f < frames; ++f) {
        block.frameTimes[f] = syntheticFrameTime(n, f);
    }
    return block;
}

}  // namespace zel::vem::sim
