// PNG writing (stored deflate blocks) and the 8-bit contrast mapping.
#include "frame_image.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vemserve {

namespace {

// CRC-32 eight bytes at a time (slicing by 8): the IDAT chunk of a frame is most of its PNG, and
// a byte at a time took as long as everything else of a png8 reply together.
class Crc32 {
  public:
    Crc32() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            }
            table_[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i) {
            for (int t = 1; t < 8; ++t) {
                table_[t][i] = (table_[t - 1][i] >> 8) ^ table_[0][table_[t - 1][i] & 0xff];
            }
        }
    }
    uint32_t of(const uint8_t* data, size_t n) const {
        uint32_t crc = ~0u;
        for (; n >= 8; n -= 8, data += 8) {
            const uint32_t lo = crc ^ (data[0] | data[1] << 8 | data[2] << 16 |
                                       static_cast<uint32_t>(data[3]) << 24);
            crc = table_[7][lo & 0xff] ^ table_[6][(lo >> 8) & 0xff] ^
                  table_[5][(lo >> 16) & 0xff] ^ table_[4][lo >> 24] ^ table_[3][data[4]] ^
                  table_[2][data[5]] ^ table_[1][data[6]] ^ table_[0][data[7]];
        }
        for (; n > 0; --n, ++data) {
            crc = table_[0][(crc ^ *data) & 0xff] ^ (crc >> 8);
        }
        return ~crc;
    }

  private:
    std::array<std::array<uint32_t, 256>, 8> table_{};
};

void putBigEndian32(std::string& out, uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

// Ends the chunk whose length field starts at `start` of `out`: its length and CRC.
void closeChunk(std::string& out, size_t start) {
    static const Crc32 crc;
    const uint32_t length = static_cast<uint32_t>(out.size() - start - 8);
    for (int i = 0; i < 4; ++i) {
        out[start + i] = static_cast<char>(length >> (24 - 8 * i));
    }
    putBigEndian32(out, crc.of(reinterpret_cast<const uint8_t*>(out.data()) + start + 4,
                               out.size() - start - 4));
}

size_t openChunk(std::string& out, const char* type) {
    const size_t start = out.size();
    out.append(4, '\0');
    out.append(type, 4);
    return start;
}

// The zlib stream of an image's rows in stored blocks (at most 65535 bytes each), written
// straight into the PNG with its Adler-32 taken on the way.
class StoredDeflate {
  public:
    StoredDeflate(std::string& out, size_t total) : out_(out), left_(total) {
        out_ += '\x78';
        out_ += '\x01';
    }
    void add(const uint8_t* data, size_t n) {
        while (n > 0) {
            if (inBlock_ == 0) {
                inBlock_ = std::min<size_t>(65535, left_);
                out_ += static_cast<char>(inBlock_ == left_ ? 1 : 0);
                out_ += static_cast<char>(inBlock_ & 0xff);
                out_ += static_cast<char>(inBlock_ >> 8);
                out_ += static_cast<char>(~inBlock_ & 0xff);
                out_ += static_cast<char>((~inBlock_ >> 8) & 0xff);
            }
            const size_t take = std::min(n, inBlock_);
            out_.append(reinterpret_cast<const char*>(data), take);
            for (size_t i = 0; i < take;) {
                // The sums stay inside 32 bits for 5552 bytes between two modulos.
                const size_t run = std::min(take - i, size_t{5552} - pending_);
                for (size_t k = i; k < i + run; ++k) {
                    a_ += data[k];
                    b_ += a_;
                }
                i += run;
                pending_ += run;
                if (pending_ == 5552) {
                    a_ %= 65521;
                    b_ %= 65521;
                    pending_ = 0;
                }
            }
            data += take;
            n -= take;
            inBlock_ -= take;
            left_ -= take;
        }
    }
    void finish() { putBigEndian32(out_, (b_ % 65521) << 16 | (a_ % 65521)); }

  private:
    std::string& out_;
    size_t left_;
    size_t inBlock_ = 0;
    size_t pending_ = 0;
    uint32_t a_ = 1, b_ = 0;
};

}  // namespace

std::string encodeGrayPng(const uint8_t* samples, uint32_t width, uint32_t height, int bitDepth) {
    const size_t rowBytes = size_t{width} * (bitDepth == 16 ? 2 : 1);
    const size_t raw = (rowBytes + 1) * height;
    const size_t blocks = std::max<size_t>(1, (raw + 65534) / 65535);
    std::string png;
    png.reserve(8 + 25 + 12 + 2 + raw + 5 * blocks + 4 + 12);
    png.append("\x89PNG\r\n\x1a\n", 8);
    size_t chunk = openChunk(png, "IHDR");
    putBigEndian32(png, width);
    putBigEndian32(png, height);
    png += static_cast<char>(bitDepth);
    png += '\0';  // grey
    png += '\0';  // deflate
    png += '\0';  // adaptive filtering
    png += '\0';  // not interlaced
    closeChunk(png, chunk);
    chunk = openChunk(png, "IDAT");
    StoredDeflate deflate(png, raw);
    const uint8_t filterNone = 0;
    for (uint32_t y = 0; y < height; ++y) {
        deflate.add(&filterNone, 1);
        deflate.add(samples + y * rowBytes, rowBytes);
    }
    deflate.finish();
    closeChunk(png, chunk);
    closeChunk(png, openChunk(png, "IEND"));
    return png;
}

std::vector<uint8_t> bigEndianSamples(FrameSamples pixels) {
    std::vector<uint8_t> out(pixels.count * 2);
    for (size_t i = 0; i < pixels.count; ++i) {
        out[2 * i] = pixels.bytes[2 * i + 1];
        out[2 * i + 1] = pixels.bytes[2 * i];
    }
    return out;
}

void percentileValues(FrameSamples pixels, double p1, double p2, uint16_t& v1, uint16_t& v2) {
    v1 = v2 = 0;
    if (pixels.count == 0) {
        return;
    }
    std::vector<uint32_t> histogram(65536, 0);
    for (size_t i = 0; i < pixels.count; ++i) {
        ++histogram[pixels[i]];
    }
    auto rank = [&](double p) {
        p = std::min(100.0, std::max(0.0, p));
        return static_cast<uint64_t>(std::floor(p / 100.0 * static_cast<double>(pixels.count - 1)));
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

std::vector<uint8_t> stretchTo8Bits(FrameSamples pixels, uint16_t lo, uint16_t hi) {
    std::vector<uint8_t> out(pixels.count);
    if (hi <= lo) {
        for (size_t i = 0; i < pixels.count; ++i) {
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
    for (size_t i = 0; i < pixels.count; ++i) {
        out[i] = table[pixels[i]];
    }
    return out;
}

}  // namespace vemserve
