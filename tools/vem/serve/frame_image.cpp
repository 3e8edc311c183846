// PNG writing (stored deflate blocks) and the 8-bit contrast mapping.
#include "frame_image.h"

#include <algorithm>
#include <cmath>

namespace vemserve {

namespace {

uint32_t crc32(const uint8_t* data, size_t n, uint32_t crc) {
    static const auto table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    }
    return ~crc;
}

void putBigEndian32(std::string& out, uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void putChunk(std::string& out, const char* type, const std::string& data) {
    putBigEndian32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.append(type, 4);
    out += data;
    const uint32_t crc =
        crc32(reinterpret_cast<const uint8_t*>(out.data()) + start, out.size() - start, 0);
    putBigEndian32(out, crc);
}

}  // namespace

std::string encodeGrayPng(const std::vector<uint16_t>& samples, uint32_t width, uint32_t height,
                          int bitDepth) {
    const size_t bytesPerSample = bitDepth == 16 ? 2 : 1;
    const size_t rowBytes = 1 + size_t{width} * bytesPerSample;
    // Each row starts with filter type 0 (none).
    std::string raw(rowBytes * height, '\0');
    for (uint32_t y = 0; y < height; ++y) {
        char* row = &raw[y * rowBytes + 1];
        const uint16_t* in = samples.data() + size_t{y} * width;
        for (uint32_t x = 0; x < width; ++x) {
            if (bytesPerSample == 2) {
                row[2 * x] = static_cast<char>(in[x] >> 8);
                row[2 * x + 1] = static_cast<char>(in[x]);
            } else {
                row[x] = static_cast<char>(in[x]);
            }
        }
    }
    // A zlib stream of stored blocks (at most 65535 bytes each) and the Adler-32 of the data.
    std::string z;
    z.reserve(raw.size() + raw.size() / 65535 * 5 + 16);
    z += '\x78';
    z += '\x01';
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        const bool final = at + n == raw.size();
        z += static_cast<char>(final ? 1 : 0);
        z += static_cast<char>(n & 0xff);
        z += static_cast<char>(n >> 8);
        z += static_cast<char>(~n & 0xff);
        z += static_cast<char>((~n >> 8) & 0xff);
        z.append(raw, at, n);
        at += n;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < raw.size();) {
        // 5552 bytes keep the sums inside 32 bits before the modulo.
        const size_t end = std::min(raw.size(), i + 5552);
        for (; i < end; ++i) {
            a += static_cast<uint8_t>(raw[i]);
            b += a;
        }
        a %= 65521;
        b %= 65521;
    }
    putBigEndian32(z, (b << 16) | a);

    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    putBigEndian32(header, width);
    putBigEndian32(header, height);
    header += static_cast<char>(bitDepth);
    header += '\0';  // grey
    header += '\0';  // deflate
    header += '\0';  // adaptive filtering
    header += '\0';  // not interlaced
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", z);
    putChunk(png, "IEND", std::string());
    return png;
}

void percentileValues(const std::vector<uint16_t>& pixels, double p1, double p2, uint16_t& v1,
                      uint16_t& v2) {
    v1 = v2 = 0;
    if (pixels.empty()) {
        return;
    }
    std::vector<uint32_t> histogram(65536, 0);
    for (uint16_t p : pixels) {
        ++histogram[p];
    }
    auto rank = [&](double p) {
        p = std::min(100.0, std::max(0.0, p));
        return static_cast<uint64_t>(
            std::floor(p / 100.0 * static_cast<double>(pixels.size() - 1)));
    };
    const uint64_t r1 = rank(p1);
    const uint64_t r2 = rank(p2);
    uint64_t seen = 0;
    bool have1 = false;
    for (uint32_t value = 0; value < 65536; ++value) {
        seen += histogram[value];
        if (!have1 && seen > r1) {
            v1 = static_cast<uint16_t>(value);
            have1 = true;
        }
        if (seen > r2) {
            v2 = static_cast<uint16_t>(value);
            break;
        }
    }
    if (!have1) {
        v1 = v2;
    }
}

uint16_t percentileValue(const std::vector<uint16_t>& pixels, double p) {
    uint16_t v = 0, unused = 0;
    percentileValues(pixels, p, p, v, unused);
    return v;
}

std::vector<uint16_t> stretchTo8Bits(const std::vector<uint16_t>& pixels, uint16_t lo,
                                     uint16_t hi) {
    std::vector<uint16_t> out(pixels.size());
    if (hi <= lo) {
        for (size_t i = 0; i < pixels.size(); ++i) {
            out[i] = pixels[i] >= lo ? 255 : 0;
        }
        return out;
    }
    // One table lookup per pixel: a 640x480 frame maps in well under a millisecond.
    std::vector<uint8_t> table(65536);
    const uint32_t span = hi - lo;
    for (uint32_t v = 0; v < 65536; ++v) {
        table[v] = v <= lo   ? 0
                   : v >= hi ? 255
                             : static_cast<uint8_t>(((v - lo) * 255u * 2 + span) / (2 * span));
    }
    for (size_t i = 0; i < pixels.size(); ++i) {
        out[i] = table[pixels[i]];
    }
    return out;
}

}  // namespace vemserve
