// The info block: the versioned binary description of a raw movie (frame size, pixel format,
// times).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "suite/export.h"

namespace zel::file {

// Pixel format codes of the block. Only one exists: one unsigned 16-bit sample per pixel,
// little-endian, rows top to bottom, pixels left to right.
inline constexpr uint32_t kPixelGray16 = 1;

// Layout constants, byte for byte as docs/info-block.md describes them.
inline constexpr char kInfoMagic[8] = {'Z', 'V', 'E', 'M', 'I', 'N', 'F', 'O'};
inline constexpr uint16_t kInfoVersion = 1;
inline constexpr uint16_t kInfoHeaderSize = 56;
// Frames are at most 65535 pixels on each side, like the drive's own records.
inline constexpr uint32_t kInfoMaxSide = 65535;

// A movie as the block describes it. Times are CDateTime ticks: 100 ns units since
// 1601-01-01 00:00 UTC.
struct SInfoBlock {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pixelFormat = kPixelGray16;
    int64_t recordingTime = 0;
    std::vector<int64_t> frameTimes;  // one per frame, so its size is the frame count

    uint64_t frameCount() const { return frameTimes.size(); }
    // width * height * 2; cannot overflow for sides of at most kInfoMaxSide.
    uint64_t frameBytes() const { return uint64_t{width} * height * 2; }
};

// The encoded length of a block of `frameCount` frames: the header and one 8-byte time each.
inline uint64_t InfoBlockSize(uint64_t frameCount) {
    return kInfoHeaderSize + frameCount * 8;
}

// Encodes a block. The caller passes valid dimensions (1..kInfoMaxSide); the writer does not
// check them, so a test can produce every kind of bad block on purpose through the byte table.
ZELFILE_API std::vector<uint8_t> EncodeInfoBlock(const SInfoBlock& block);

// Decodes and checks a block of `size` bytes. On failure returns false, leaves `out` untouched
// and, when `error` is given, stores a short English reason ending in a full stop. Checks: the
// magic, the version, the header size, the pixel format, both sides, the frame size field
// against the sides, reserved flags, and that the time table exactly fills the rest of the
// block (no frame count the bytes cannot back, no arithmetic overflow).
ZELFILE_API bool ParseInfoBlock(const uint8_t* data, size_t size, SInfoBlock& out,
                                std::string* error = nullptr);

}  // namespace zel::file
