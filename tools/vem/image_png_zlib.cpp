// PNG through zlib alone, where the build has zlib but no libpng (the Windows build on Debian):
// 16-bit grayscale, every row unfiltered, one IDAT chunk.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "image.h"
#include "registry.h"

namespace vemcli {

const bool kPngAvailable = true;

namespace {

void putBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// Length, type, data and the CRC of type and data, as every PNG chunk is laid out.
void putChunk(std::vector<uint8_t>& out, const char (&type)[5], const uint8_t* data, size_t size) {
    putBigEndian32(out, static_cast<uint32_t>(size));
    const size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    const uLong crc = crc32(0L, out.data() + typeAt, static_cast<uInt>(4 + size));
    putBigEndian32(out, static_cast<uint32_t>(crc));
}

}  // namespace

void writePng(std::FILE* out, const std::string& name, const GrayImage& image) {
    const size_t rowBytes = 1 + size_t{image.width} * 2;
    const size_t rawBytes = rowBytes * image.height;
    // zlib's one-call API counts in uLong (32 bits on Windows), and a chunk holds under 2 GiB.
    if (image.width == 0 || image.height == 0 || rawBytes >= 0x40000000u) {
        throw Failure("cannot write the PNG image " + name +
                      ": a frame of this size is beyond this build's PNG writer; use .pgm");
    }
    std::vector<uint8_t> raw;
    raw.reserve(rawBytes);
    for (uint32_t y = 0; y < image.height; ++y) {
        raw.push_back(0);  // filter type None
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint16_t value = image.pixels[size_t{y} * image.width + x];
            raw.push_back(static_cast<uint8_t>(value >> 8));  // PNG samples are big-endian
            raw.push_back(static_cast<uint8_t>(value));
        }
    }
    uLongf packedBytes = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packedBytes);
    if (compress2(packed.data(), &packedBytes, raw.data(), static_cast<uLong>(raw.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        throw Failure("cannot write the PNG image " + name + ": compression failed");
    }

    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> file(kSignature, kSignature + 8);
    std::vector<uint8_t> header;
    putBigEndian32(header, image.width);
    putBigEndian32(header, image.height);
    // 16 bits, grayscale, deflate, adaptive filtering (method 0), no interlace.
    header.insert(header.end(), {16, 0, 0, 0, 0});
    putChunk(file, "IHDR", header.data(), header.size());
    putChunk(file, "IDAT", packed.data(), packedBytes);
    putChunk(file, "IEND", nullptr, 0);
    if (std::fwrite(file.data(), 1, file.size(), out) != file.size()) {
        throw Failure("cannot write the PNG image " + name);
    }
}

}  // namespace vemcli
