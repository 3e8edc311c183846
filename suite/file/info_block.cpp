// Encoding and checked decoding of the info block.
#include "suite/file/info_block.h"

#include <cstring>

namespace zel::file {

namespace {

// Offsets of the version 1 header fields.
constexpr size_t kOffVersion = 8;
constexpr size_t kOffHeaderSize = 10;
constexpr size_t kOffPixelFormat = 12;
constexpr size_t kOffWidth = 16;
constexpr size_t kOffHeight = 20;
constexpr size_t kOffFrameCount = 24;
constexpr size_t kOffFrameBytes = 32;
constexpr size_t kOffRecordingTime = 40;
constexpr size_t kOffFlags = 48;
constexpr size_t kOffReserved = 52;
// Longest header a reader accepts; later versions may add fields up to here.
constexpr size_t kMaxHeaderSize = 4096;

// Explicit little-endian access: the block's byte order does not depend on the host's.
uint64_t getLE(const uint8_t* p, unsigned bytes) {
    uint64_t value = 0;
    for (unsigned i = bytes; i-- > 0;) {
        value = (value << 8) | p[i];
    }
    return value;
}

void putLE(uint8_t* p, uint64_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

bool fail(std::string* error, const char* text) {
    if (error) {
        *error = text;
    }
    return false;
}

}  // namespace

std::vector<uint8_t> EncodeInfoBlock(const SInfoBlock& block) {
    const uint64_t frames = block.frameTimes.size();
    std::vector<uint8_t> bytes(static_cast<size_t>(InfoBlockSize(frames)), 0);
    uint8_t* p = bytes.data();
    std::memcpy(p, kInfoMagic, sizeof kInfoMagic);
    putLE(p + kOffVersion, kInfoVersion, 2);
    putLE(p + kOffHeaderSize, kInfoHeaderSize, 2);
    putLE(p + kOffPixelFormat, block.pixelFormat, 4);
    putLE(p + kOffWidth, block.width, 4);
    putLE(p + kOffHeight, block.height, 4);
    putLE(p + kOffFrameCount, frames, 8);
    putLE(p + kOffFrameBytes, block.frameBytes(), 8);
    putLE(p + kOffRecordingTime, static_cast<uint64_t>(block.recordingTime), 8);
    putLE(p + kOffFlags, 0, 4);
    putLE(p + kOffReserved, 0, 4);
    for (uint64_t i = 0; i < frames; ++i) {
        putLE(p + kInfoHeaderSize + i * 8, static_cast<uint64_t>(block.frameTimes[i]), 8);
    }
    return bytes;
}

bool ParseInfoBlock(const uint8_t* data, size_t size, SInfoBlock& out, std::string* error) {
    if (data == nullptr || size < kInfoHeaderSize) {
        return fail(error, "Info block truncated.");
    }
    if (std::memcmp(data, kInfoMagic, sizeof kInfoMagic) != 0) {
        return fail(error, "Not an info block.");
    }
    if (getLE(data + kOffVersion, 2) != kInfoVersion) {
        return fail(error, "Unsupported info block version.");
    }
    const uint64_t headerSize = getLE(data + kOffHeaderSize, 2);
    if (headerSize < kInfoHeaderSize || headerSize % 8 != 0 || headerSize > kMaxHeaderSize) {
        return fail(error, "Bad info block header size.");
    }
    if (headerSize > size) {
        return fail(error, "Info block truncated.");
    }
    SInfoBlock block;
    block.pixelFormat = static_cast<uint32_t>(getLE(data + kOffPixelFormat, 4));
    if (block.pixelFormat != kPixelGray16) {
        return fail(error, "Unsupported pixel format.");
    }
    block.width = static_cast<uint32_t>(getLE(data + kOffWidth, 4));
    block.height = static_cast<uint32_t>(getLE(data + kOffHeight, 4));
    if (block.width == 0 || block.height == 0 || block.width > kInfoMaxSide ||
        block.height > kInfoMaxSide) {
        return fail(error, "Bad frame size.");
    }
    if (getLE(data + kOffFrameBytes, 8) != block.frameBytes()) {
        return fail(error, "Frame byte count does not match the frame size.");
    }
    if (getLE(data + kOffFlags, 4) != 0) {
        return fail(error, "Unknown info block flags.");
    }
    const uint64_t frames = getLE(data + kOffFrameCount, 8);
    // Compared by division so that no product can wrap around: the table must fill the rest of
    // the block exactly, so a count the bytes cannot back is refused before anything is
    // allocated for it.
    const uint64_t tableBytes = uint64_t{size} - headerSize;
    if (tableBytes % 8 != 0 || tableBytes / 8 != frames) {
        return fail(error, "Frame count does not match the block length.");
    }
    block.recordingTime = static_cast<int64_t>(getLE(data + kOffRecordingTime, 8));
    block.frameTimes.resize(static_cast<size_t>(frames));
    for (uint64_t i = 0; i < frames; ++i) {
        block.frameTimes[i] = static_cast<int64_t>(getLE(data + headerSize + i * 8, 8));
    }
    out = std::move(block);
    return true;
}

}  // namespace zel::file
